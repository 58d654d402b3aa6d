// libFuzzer target for UnicodeReader: any bytes as the file, any delimiter of up to three
// units. The lines read back, joined with the delimiter, must give the file's text (less one
// final delimiter), and nothing may crash. Built and run by scripts/fuzz.sh.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "util/unicode_reader.h"

namespace {

std::u16string Expected(const std::string& bytes, const std::u16string& delimiter) {
  std::size_t start = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                              static_cast<unsigned char>(bytes[1]) == 0xFE
                          ? 2
                          : 0;
  std::u16string text;
  for (; start + 1 < bytes.size(); start += 2) {
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[start]) |
                                  (static_cast<unsigned char>(bytes[start + 1]) << 8));
  }
  if (start < bytes.size()) text += u'\uFFFD';
  if (!delimiter.empty() && text.size() >= delimiter.size() &&
      text.compare(text.size() - delimiter.size(), delimiter.size(), delimiter) == 0) {
    text.resize(text.size() - delimiter.size());
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t units = data[0] % 4;
  if (size < 1 + 2 * units) return 0;
  std::u16string delimiter;
  for (std::size_t i = 0; i < units; ++i) {
    delimiter += static_cast<char16_t>(data[1 + 2 * i] | (data[2 + 2 * i] << 8));
  }
  const std::string bytes(reinterpret_cast<const char*>(data) + 1 + 2 * units,
                          size - 1 - 2 * units);
  static const std::string path = "/tmp/crateline-fuzz-" + std::to_string(getpid());
  std::FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);

  crateline::util::UnicodeReader reader;
  reader.OpenFile(path, delimiter);
  std::u16string joined;
  bool first = true;
  while (!reader.Eof()) {
    if (!first) joined += delimiter;
    joined += reader.ReadLine();
    first = false;
  }
  if (joined != Expected(bytes, delimiter)) std::abort();
  return 0;
}
