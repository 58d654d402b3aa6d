// Shell services: a modal choice of a file-system folder, and opening a document, folder or
// web address with the handler the desktop associates with it.
//
// On Windows these are the shell's own dialog and "open" verb. Elsewhere the folder choice is
// a picker the window installs (this layer has no toolkit of its own), and opening goes to the
// desktop's opener (xdg-open, or open on macOS).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace crateline::shell {

// What a folder choice may choose: a folder, or also a file (a mail store kept in one file).
enum class Choice { kFolder, kFolderOrFile };

// The chosen folder's (or file's) path, or empty text when nothing was chosen (cancelled or
// failed). `owner` is the native handle of the window the choice is modal to.
std::string ChooseFolder(std::uintptr_t owner, const std::string& title,
                         Choice choice = Choice::kFolder);

// Opens the target with its default handler; does nothing for empty text. Fire and forget:
// a target nothing can open is not reported.
void ShellOpen(const std::string& target);

// Where the system has no folder dialog of its own: the dialog the window provides.
using FolderPicker =
    std::function<std::string(std::uintptr_t owner, const std::string& title, Choice choice)>;
void SetFolderPicker(FolderPicker picker);

}  // namespace crateline::shell
