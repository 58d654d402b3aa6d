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

// Whether `path` is `folder` or lies below it, as the system resolves both (links, "..", as far
// as they exist): an archive written there would land inside the mail being converted.
inline bool PathIsInside(const std::string& path, const std::string& folder) {
  const auto resolved = [](const std::string& text) {
    std::error_code ignored;
    std::filesystem::path p = std::filesystem::weakly_canonical(PathFromUtf8(text), ignored);
    if (p.empty()) p = std::filesystem::absolute(PathFromUtf8(text), ignored).lexically_normal();
    return p;
  };
  const std::filesystem::path inner = resolved(path);
  const std::filesystem::path outer = resolved(folder);
  const auto relative = inner.lexically_relative(outer);
  return !relative.empty() && *relative.begin() != "..";
}

}  // namespace crateline::util
