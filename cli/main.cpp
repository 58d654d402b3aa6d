// crateline-cli's entry: hands the arguments and the standard streams to the command runner.
#include <iostream>

#include "cli/cli.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// after windows.h, which they need
#include <io.h>
#include <shellapi.h>

#include "platform/system_calls.h"

// The arguments as the user typed them, in UTF-8, whatever the code page.
std::vector<std::string> Arguments() {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) {
    args.push_back(crateline::platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(wide[i])));
  }
  LocalFree(wide);
  return args;
}

int main() {
  SetConsoleOutputCP(CP_UTF8);
  return crateline::cli::Run(Arguments(), {std::cout, std::cerr, _isatty(_fileno(stdout)) != 0});
}

#else
#include <unistd.h>

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return crateline::cli::Run(args, {std::cout, std::cerr, isatty(STDOUT_FILENO) == 1});
}
#endif
