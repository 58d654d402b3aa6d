// The separator of folder paths on this system: the backslash on Windows, '/' elsewhere.
#pragma once

namespace crateline::util {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

}  // namespace crateline::util
