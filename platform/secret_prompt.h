// Asking the person at the terminal for a secret (a password) with the echo off, so that it is
// neither shown nor kept in the shell's history: /dev/tty on POSIX systems, the console itself
// (CONIN$ and CONOUT$) on Windows, whatever the standard streams are redirected to.
#pragma once

#include <string>

namespace crateline::platform {

// False when there is no terminal to ask on, or nothing was answered.
bool AskSecret(const std::string& prompt, std::string& secret);

}  // namespace crateline::platform
