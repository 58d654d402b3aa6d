#include "platform/secret_prompt.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <termios.h>
#endif

#include <cstdio>

#include "platform/system_calls.h"

namespace crateline::platform {
namespace {

void TrimLineEnd(std::string& text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
}

}  // namespace

#ifdef _WIN32

bool AskSecret(const std::string& prompt, std::string& secret) {
  HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  DWORD before = 0;
  const bool restore = GetConsoleMode(in, &before) != FALSE;
  if (restore) SetConsoleMode(in, before & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  const auto say = [out](const std::string& text) {
    const std::u16string wide = Utf8ToUtf16(text);
    DWORD written = 0;
    if (out != INVALID_HANDLE_VALUE) {
      WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    }
  };
  say(prompt);
  wchar_t buffer[1024];
  DWORD got = 0;
  const bool read = ReadConsoleW(in, buffer, 1024, &got, nullptr) != FALSE;
  if (restore) SetConsoleMode(in, before);
  say("\n");
  CloseHandle(in);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (!read || got == 0) return false;
  secret = Utf16ToUtf8(std::u16string(buffer, buffer + got));
  TrimLineEnd(secret);
  return true;
}

#else

bool AskSecret(const std::string& prompt, std::string& secret) {
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (tty == nullptr) return false;
  const int fd = fileno(tty);
  termios before{};
  const bool restore = tcgetattr(fd, &before) == 0;
  if (restore) {
    termios quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::fputs(prompt.c_str(), tty);
  std::fflush(tty);
  char buffer[1024];
  const bool got = std::fgets(buffer, sizeof buffer, tty) != nullptr;
  if (restore) tcsetattr(fd, TCSAFLUSH, &before);
  std::fputs("\n", tty);
  std::fclose(tty);
  if (!got) return false;
  secret = buffer;
  TrimLineEnd(secret);
  return true;
}

#endif

}  // namespace crateline::platform
