// What the system-specific output files share: the error type and the pending temporary files.
#include "platform/pending_outputs.h"

#include <cstdlib>
#include <mutex>
#include <set>

#include "platform/file_io.h"

namespace crateline::platform {
namespace {
std::mutex g_mutex;
std::set<std::string>& Pending() {
  static std::set<std::string> pending;
  return pending;
}
}  // namespace

std::string ReadWholeFile(const std::string& path) {
  InputFile in(path);
  std::string bytes;
  char piece[64 * 1024];
  for (std::size_t n; (n = in.Read(piece, sizeof piece)) > 0;) bytes.append(piece, n);
  return bytes;
}

FileError::FileError(const std::string& path, const std::string& action, int systemError)
    : std::runtime_error("cannot " + action + " \"" + path + "\": " + SystemErrorText(systemError)),
      path_(path),
      systemError_(systemError) {}

FileError::FileError(const std::string& path, const std::string& action, const std::string& reason)
    : std::runtime_error("cannot " + action + " \"" + path + "\": " + reason),
      path_(path),
      systemError_(0) {}

namespace {
InputFile::OpenCheck& InstalledOpenCheck() {
  static InputFile::OpenCheck check;
  return check;
}
InputFile::ReadCheck& InstalledReadCheck() {
  static InputFile::ReadCheck check;
  return check;
}
}  // namespace

void InputFile::SetOpenCheck(OpenCheck check) {
  InstalledOpenCheck() = std::move(check);
}

void InputFile::SetReadCheck(ReadCheck check) {
  InstalledReadCheck() = std::move(check);
}

// Asked by each system's InputFile before it opens: a test's injected failure.
int InjectedOpenError(const std::string& path) {
  const auto& check = InstalledOpenCheck();
  return check ? check(path) : 0;
}

// Called by each system's InputFile before it reads: a test's change to the file.
void BeforeRead(const std::string& path) {
  if (const auto& check = InstalledReadCheck()) check(path);
}

void RegisterPendingOutput(const std::string& path) {
  // The set is made before the exit handler is registered, so that it outlives the handler.
  static const bool registered = (Pending(), std::atexit(RemovePendingOutputs), true);
  (void)registered;
  std::lock_guard lock(g_mutex);
  Pending().insert(path);
}

void UnregisterPendingOutput(const std::string& path) {
  std::lock_guard lock(g_mutex);
  Pending().erase(path);
}

void RemovePendingOutputs() noexcept {
  std::lock_guard lock(g_mutex);
  for (const auto& path : Pending()) RemoveFileQuietly(path);
  Pending().clear();
}

}  // namespace crateline::platform
