// Paths are UTF-8 text everywhere in the program. std::filesystem takes and gives narrow text
// in the system's code page on Windows, so every conversion goes through these two.
#pragma once

#include <filesystem>
#include <string>

namespace crateline::util {

inline std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace crateline::util
