// The seam's bookkeeping: which calls are in force, the saved last error, and text encodings.
#include "platform/system_calls.h"

#include <algorithm>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace crateline::platform {
namespace {

SystemCalls& Calls() {
  static SystemCalls calls = NativeSystemCalls();
  return calls;
}

std::uint32_t g_savedSystemError = 0;

// Saves the thread's last error the moment a call returns, before anything can change it.
template <typename Result>
Result Saved(Result result) {
  g_savedSystemError = Calls().GetLastError();
  return result;
}

// Writes c as UTF-8 at out and returns the position after it.
char* PutUtf8(char* out, char32_t c) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// The ASCII run at the start of a text, converted sixteen units at a time where the processor
// can (names and paths are converted by the hundred thousand, and are mostly ASCII); each
// returns how many units it converted, stopping before the first block that holds another.
std::size_t WidenAscii(std::string_view text, char16_t* put) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= text.size(); i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    if (_mm_movemask_epi8(bytes) != 0) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(put + i), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(put + i + 8), _mm_unpackhi_epi8(bytes, zero));
  }
#endif
  for (; i < text.size() && static_cast<unsigned char>(text[i]) < 0x80; ++i) {
    put[i] = static_cast<unsigned char>(text[i]);
  }
  return i;
}

std::size_t NarrowAscii(std::u16string_view text, char* put) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i notAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
  for (; i + 16 <= text.size(); i += 16) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i + 8));
    const __m128i outside = _mm_and_si128(_mm_or_si128(low, high), notAscii);
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(outside, _mm_setzero_si128())) != 0xFFFF) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(put + i), _mm_packus_epi16(low, high));
  }
#endif
  for (; i < text.size() && text[i] < 0x80; ++i) put[i] = static_cast<char>(text[i]);
  return i;
}

// Decodes one UTF-8 sequence at text[i]; returns its length, or 0 when it is not valid UTF-8
// (overlong forms, surrogates and values past U+10FFFF included).
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t& out) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  char32_t c = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    out = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, c = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, c = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, c = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(k) & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  out = c;
  return length;
}

}  // namespace

SystemCalls& CurrentSystemCalls() {
  return Calls();
}

ScopedSystemCalls::ScopedSystemCalls(SystemCalls calls)
    : previous_(std::exchange(Calls(), std::move(calls))) {}
ScopedSystemCalls::~ScopedSystemCalls() {
  Calls() = std::move(previous_);
}

std::uint32_t SavedSystemError() {
  return g_savedSystemError;
}

// File names on POSIX systems are bytes and need not be UTF-8. A byte that is not part of valid
// UTF-8 becomes the lone low surrogate U+DC00 + byte, and turns back into that byte on the way
// out, so every name survives the trip through the wide functions unchanged.
void AppendUtf16(std::string_view text, std::u16string& out) {
  // Never more code units than bytes: room for the most, trimmed to what was written.
  const std::size_t start = out.size();
  out.resize(start + text.size());
  std::size_t i = WidenAscii(text, out.data() + start);
  char16_t* put = out.data() + start + i;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      *put++ = byte;
      ++i;
      continue;
    }
    char32_t c = 0;
    const std::size_t length = DecodeUtf8(text, i, c);
    if (length == 0) {
      *put++ = static_cast<char16_t>(0xDC00 + byte);
      ++i;
    } else if (c >= 0x10000) {
      c -= 0x10000;
      *put++ = static_cast<char16_t>(0xD800 + (c >> 10));
      *put++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
      i += length;
    } else {
      *put++ = static_cast<char16_t>(c);
      i += length;
    }
  }
  out.resize(static_cast<std::size_t>(put - out.data()));
}

void AppendUtf8(std::u16string_view text, std::string& out) {
  const std::size_t start = out.size();
  out.resize(start + text.size());
  std::size_t i = NarrowAscii(text, out.data() + start);
  if (i == text.size()) return;
  out.resize(start + i + (text.size() - i) * 3);  // the most one code unit can take
  char* put = out.data() + start + i;
  for (; i < text.size(); ++i) {
    const char32_t unit = text[i];
    if (unit < 0x80) {
      *put++ = static_cast<char>(unit);
    } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
               text[i + 1] <= 0xDFFF) {
      put = PutUtf8(put, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
      *put++ = static_cast<char>(unit - 0xDC00);  // an escaped byte, see AppendUtf16
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      put = PutUtf8(put, 0xFFFD);
    } else {
      put = PutUtf8(put, unit);
    }
  }
  out.resize(static_cast<std::size_t>(put - out.data()));
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  AppendUtf16(text, out);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  AppendUtf8(text, out);
  return out;
}

namespace os {
ModuleHandle LoadLibraryA(const std::string& library) {
  return Saved(Calls().LoadLibraryA(library));
}
const void* GetProcAddress(ModuleHandle module, const std::string& procedure) {
  return Saved(Calls().GetProcAddress(module, procedure));
}
int FreeLibrary(ModuleHandle module) {
  return Saved(Calls().FreeLibrary(module));
}
std::uint32_t GetVersion() {
  return Saved(Calls().GetVersion());
}
int GetVersionExW(OsVersionInfoW& info) {
  return Saved(Calls().GetVersionExW(info));
}
int GetVersionExA(OsVersionInfoA& info) {
  return Saved(Calls().GetVersionExA(info));
}
std::uint32_t GetLastError() {
  return Saved(Calls().GetLastError());
}
std::uint32_t FormatMessageW(std::uint32_t flags, std::uint32_t messageId, std::uint32_t languageId,
                             char16_t* buffer, std::uint32_t size) {
  return Saved(Calls().FormatMessageW(flags, messageId, languageId, buffer, size));
}
std::uint32_t FormatMessageA(std::uint32_t flags, std::uint32_t messageId, std::uint32_t languageId,
                             char* buffer, std::uint32_t size) {
  return Saved(Calls().FormatMessageA(flags, messageId, languageId, buffer, size));
}
SearchHandle FindFirstFileW(const char16_t* path, FindDataW& data) {
  return Saved(Calls().FindFirstFileW(path, data));
}
SearchHandle FindFirstFileA(const char* path, FindDataA& data) {
  return Saved(Calls().FindFirstFileA(path, data));
}
int FindNextFileW(SearchHandle search, FindDataW& data) {
  return Saved(Calls().FindNextFileW(search, data));
}
int FindNextFileA(SearchHandle search, FindDataA& data) {
  return Saved(Calls().FindNextFileA(search, data));
}
int FindClose(SearchHandle search) {
  return Saved(Calls().FindClose(search));
}
std::uint32_t GetFileAttributesW(const char16_t* path) {
  return Saved(Calls().GetFileAttributesW(path));
}
std::uint32_t GetFileAttributesA(const char* path) {
  return Saved(Calls().GetFileAttributesA(path));
}
std::uint32_t GetShortPathNameW(const char16_t* path, char16_t* shortPath, std::uint32_t size) {
  return Saved(Calls().GetShortPathNameW(path, shortPath, size));
}
std::uint32_t GetShortPathNameA(const char* path, char* shortPath, std::uint32_t size) {
  return Saved(Calls().GetShortPathNameA(path, shortPath, size));
}
int GetFileAttributesExW(const char16_t* path, FileAttributeData& data) {
  return Saved(Calls().GetFileAttributesExW(path, data));
}

std::uint32_t GetCompressedFileSizeW(const char16_t* path, std::uint32_t* high) {
  return Saved(Calls().GetCompressedFileSizeW(path, high));
}
std::uint32_t GetCompressedFileSizeA(const char* path, std::uint32_t* high) {
  return Saved(Calls().GetCompressedFileSizeA(path, high));
}
int FileTimeToSystemTime(const FileTime& time, SystemTime& out) {
  return Saved(Calls().FileTimeToSystemTime(time, out));
}
int InitCommonControlsEx(std::uint32_t size, std::uint32_t classes) {
  return Saved(Calls().InitCommonControlsEx(size, classes));
}
}  // namespace os

}  // namespace crateline::platform
