// Runs a check as a user without privileges, so that "access denied" is really denied: CI runs
// as root, who reads any file and lists any folder. POSIX only.
#pragma once
#ifndef _WIN32

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace crateline::testing {

// The check's verdict, run in a child that gives up root first (to "nobody") when it has it.
// False also when the child could not give up root or died.
inline bool AsUnprivilegedUser(const std::function<bool()>& check) {
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    if (getuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(2);
    _exit(check() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace crateline::testing

#endif
