// The last system error as a code (LastApiError) and as one line of the system's own text.
#include <algorithm>

#include "platform/platform.h"
#include "platform/system_calls.h"

namespace crateline::platform {

std::int32_t LastApiError = 0;

namespace {
constexpr std::uint32_t kMessageBufferUnits = 256;
constexpr std::uint32_t kDefaultLanguage = 0;

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

std::string SystemMessage(std::int32_t code, bool& found) {
  const auto id = static_cast<std::uint32_t>(code);
  std::string text;
  std::uint32_t length = 0;
  if (HasFormatMessageW) {
    char16_t buffer[kMessageBufferUnits] = {};
    length = os::FormatMessageW(kFormatMessageFromSystem, id, kDefaultLanguage, buffer,
                                kMessageBufferUnits);
    text = Utf16ToUtf8(std::u16string(buffer, kMessageBufferUnits));
  } else {
    std::string buffer(kMessageBufferUnits, ' ');
    length = os::FormatMessageA(kFormatMessageFromSystem, id, kDefaultLanguage, buffer.data(),
                                kMessageBufferUnits);
    text = AnsiToUtf8(buffer);
  }
  found = static_cast<std::int32_t>(length) > 0;
  return text;
}
}  // namespace

std::string TrimAtNull(const std::string& text) {
  return text.substr(0, text.find('\0'));
}
std::u16string TrimAtNull(const std::u16string& text) {
  return text.substr(0, text.find(u'\0'));
}

std::string CleanSystemMessage(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  ReplaceAll(text, "\r\n", " ");
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  std::replace(text.begin(), text.end(), '\n', ' ');
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string GetApiErrorText(std::int32_t code) {
  if (code == 0) code = static_cast<std::int32_t>(SavedSystemError());
  if (code == 0) code = static_cast<std::int32_t>(os::GetLastError());
  EnsureApiSupport();
  if (code == 0) return "Error - File Possibly In Use/Locked";

  bool found = false;
  const std::string message = SystemMessage(code, found);
  const std::string prefix = "Error " + std::to_string(code) + " - ";
  if (!found) return prefix + "unknown error.";
  return prefix + CleanSystemMessage(message);
}

std::int32_t CaptureApiErrorCode() {
  LastApiError = static_cast<std::int32_t>(SavedSystemError());
  if (LastApiError == 0) LastApiError = static_cast<std::int32_t>(os::GetLastError());
  if (LastApiError == 0) LastApiError = -1;
  return LastApiError;
}

std::string CaptureApiError(const std::string& leading, const std::string& trailing) {
  const std::int32_t code = CaptureApiErrorCode();
  std::string text = leading + " (" + GetApiErrorText(code) + "): " + trailing;
  // Formatting may run the first probe, whose version detection clears LastApiError; the
  // caller reads the code it captured, so put it back.
  LastApiError = code;
  return text;
}

}  // namespace crateline::platform
