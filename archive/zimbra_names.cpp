#include "archive/zimbra_names.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#ifdef CRATELINE_HAVE_UTF8PROC
#include <utf8proc.h>
#elif defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// after windows.h, which it needs
#include <winnls.h>
#endif

namespace crateline::archive {
namespace {

constexpr std::size_t kMaxFolderUnits = 255;  // UTF-16 code units, after trailing spaces go

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Lower case as Zimbra's folder lookup has it: every character, not only ASCII.
std::string LowerText(const std::string& text) {
#ifdef CRATELINE_HAVE_UTF8PROC
  std::string out;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    utf8proc_int32_t code = 0;
    const utf8proc_ssize_t n =
        utf8proc_iterate(bytes + i, static_cast<utf8proc_ssize_t>(text.size() - i), &code);
    if (n <= 0) {  // not UTF-8: the byte as it is
      out += text[i++];
      continue;
    }
    utf8proc_uint8_t encoded[4];
    const utf8proc_ssize_t m = utf8proc_encode_char(utf8proc_tolower(code), encoded);
    out.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(m));
    i += static_cast<std::size_t>(n);
  }
  return out;
#elif defined(_WIN32)
  if (text.empty()) return text;
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, wide.data(), length, wide.data(), length,
                nullptr, nullptr, 0);
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, out.data(), bytes, nullptr, nullptr);
  return out;
#else
  return Lower(text);
#endif
}

// Zimbra's system folders that take mail, by their lower-case names.
const char* SystemFolder(const std::string& lowerName) {
  static constexpr const char* kSystem[] = {"Inbox", "Sent", "Drafts", "Junk", "Trash", "Chats"};
  for (const char* name : kSystem) {
    if (Lower(name) == lowerName) return name;
  }
  return nullptr;
}

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> segments;
  std::size_t start = 0;
  while (start <= path.size() && !path.empty()) {
    const auto slash = path.find('/', start);
    segments.push_back(
        path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return segments;
}

// Length of the valid UTF-8 sequence at text[i], or 0.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = at(0);
  std::size_t length = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF)
    length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF)
    length = 3;
  else if (lead >= 0xF0 && lead <= 0xF4)
    length = 4;
  else
    return 0;
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((at(k) & 0xC0) != 0x80) return 0;
  }
  // Overlong forms, surrogates and values past U+10FFFF.
  if (lead == 0xE0 && at(1) < 0xA0) return 0;
  if (lead == 0xED && at(1) >= 0xA0) return 0;
  if (lead == 0xF0 && at(1) < 0x90) return 0;
  if (lead == 0xF4 && at(1) >= 0x90) return 0;
  return length;
}

std::size_t Utf16Units(const std::string& text) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = std::max<std::size_t>(1, Utf8Length(text, i));
    units += length == 4 ? 2 : 1;
    i += length;
  }
  return units;
}

void TrimTrailingSpaces(std::string& text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
}

std::string Joined(const std::vector<std::string>& segments) {
  std::string path;
  for (const auto& segment : segments) {
    if (!path.empty()) path += '/';
    path += segment;
  }
  return path;
}

// One folder segment as the importer accepts it; what changed goes to `why`.
std::string RepairSegment(const std::string& segment, std::vector<std::string>& why) {
  std::string out;
  bool replaced = false;
  for (std::size_t i = 0; i < segment.size();) {
    const auto c = static_cast<unsigned char>(segment[i]);
    // U+FFFE and U+FFFF are EF BF BE and EF BF BF.
    const bool nonCharacter = c == 0xEF && i + 2 < segment.size() &&
                              static_cast<unsigned char>(segment[i + 1]) == 0xBF &&
                              (static_cast<unsigned char>(segment[i + 2]) & 0xFE) == 0xBE;
    if (c < 0x20 || c == ':' || c == '/' || c == '"' || nonCharacter) {
      out += '_';
      replaced = true;
      i += nonCharacter ? 3 : 1;
    } else {
      out += segment[i++];
    }
  }
  if (replaced) why.push_back("characters Zimbra does not allow in a folder name became \"_\"");
  const std::size_t before = out.size();
  TrimTrailingSpaces(out);
  if (out.size() != before) why.push_back("trailing spaces were removed");
  if (out.empty() || out == "." || out == "..") {
    out = "_" + out;
    why.push_back("a name Zimbra reserves was prefixed with \"_\"");
  }
  if (Utf16Units(out) > kMaxFolderUnits) {
    std::string cut;
    std::size_t units = 0;
    for (std::size_t i = 0; i < out.size();) {
      const std::size_t length = std::max<std::size_t>(1, Utf8Length(out, i));
      const std::size_t add = length == 4 ? 2 : 1;
      if (units + add > kMaxFolderUnits) break;
      cut.append(out, i, length);
      units += add;
      i += length;
    }
    out = cut;
    TrimTrailingSpaces(out);
    why.push_back("the name was shortened to Zimbra's 255 characters");
  }
  return out;
}

struct TopLevel {
  const char* name;
  const char* becomes;
};
// Top-level folders of other mail programs that mean one of Zimbra's system folders.
constexpr TopLevel kSystemAliases[] = {
    {"sent items", "Sent"},     {"sent messages", "Sent"},
    {"deleted items", "Trash"}, {"deleted messages", "Trash"},
    {"junk e-mail", "Junk"},    {"junk email", "Junk"},
    {"spam", "Junk"},
};
// System folders that reject every message.
constexpr const char* kNoMailFolders[] = {"contacts", "emailed contacts", "calendar",
                                          "tasks",    "briefcase",        "files shared with me"};

#if !defined(CRATELINE_HAVE_UTF8PROC) && defined(_WIN32)
// The system's own normalisation, where utf8proc is not built in.
std::string NormalizedC(const std::string& text) {
  if (text.empty()) return text;
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  int size = NormalizeString(NormalizationC, wide.data(), length, nullptr, 0);
  if (size <= 0) return text;
  std::wstring composed(static_cast<std::size_t>(size), L'\0');
  size = NormalizeString(NormalizationC, wide.data(), length, composed.data(), size);
  if (size <= 0) return text;
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, composed.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, composed.data(), size, out.data(), bytes, nullptr, nullptr);
  return out;
}
#endif

}  // namespace

std::string MessageFileName(const std::string& name) {
  if (name.size() < 4 || Lower(name.substr(name.size() - 4)) != ".eml") return name;
  return name.substr(0, name.size() - 4) + ".eml";
}

std::string ZimbraFolderKey(const std::string& path) {
  if (path.empty()) return "inbox";
  std::string key;
  for (std::string segment : Split(path)) {
    TrimTrailingSpaces(segment);
    if (!key.empty()) key += '/';
    key += LowerText(segment);
  }
  return key;
}

std::string ZimbraFolderShown(const std::string& path) {
  if (path.empty()) return "Inbox";
  std::vector<std::string> segments = Split(path);
  std::string top = segments.front();
  TrimTrailingSpaces(top);
  if (const char* system = SystemFolder(Lower(top))) segments.front() = system;
  std::string shown;
  for (const auto& segment : segments) shown += (shown.empty() ? "" : "/") + segment;
  return shown;
}

std::string EntryText(const std::string& raw, bool& changed) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  changed = false;
  // Most names are ASCII, which is valid UTF-8 and its own NFC: nothing to repair or compose.
  if (std::all_of(raw.begin(), raw.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte != 0 && byte < 0x80;
      })) {
    return raw;
  }
  std::string valid;
  for (std::size_t i = 0; i < raw.size();) {
    const std::size_t length = Utf8Length(raw, i);
    if (length == 0 || (length == 1 && raw[i] == '\0')) {
      changed = true;
      break;
    }
    i += length;
  }
  for (std::size_t i = 0; i < raw.size();) {
    const std::size_t length = Utf8Length(raw, i);
    if (length == 0 || (length == 1 && raw[i] == '\0') || (changed && raw[i] == '%')) {
      const auto byte = static_cast<unsigned char>(raw[i]);
      valid += '%';
      valid += kHex[byte >> 4];
      valid += kHex[byte & 15];
      ++i;
    } else {
      valid.append(raw, i, length);
      i += length;
    }
  }
#ifdef CRATELINE_HAVE_UTF8PROC
  if (utf8proc_uint8_t* composed =
          utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(valid.c_str()))) {
    valid.assign(reinterpret_cast<char*>(composed));
    std::free(composed);
  }
#elif defined(_WIN32)
  valid = NormalizedC(valid);
#endif
  return valid;
}

std::string ZimbraFolderPath(const std::vector<std::string>& segments,
                             std::vector<std::string>& notes, bool mail) {
  std::vector<std::string> out;
  for (const auto& segment : segments) {
    std::vector<std::string> why;
    std::string repaired = RepairSegment(segment, why);
    for (const auto& reason : why) {
      notes.push_back("folder \"" + segment + "\": " + reason + " (now \"" + repaired + "\")");
    }
    out.push_back(std::move(repaired));
  }
  if (out.empty()) return {};
  if (!mail) return Joined(out);

  const std::string top = Lower(out.front());
  for (const auto& alias : kSystemAliases) {
    if (top == alias.name) {
      notes.push_back("folder \"" + out.front() + "\" was mapped onto Zimbra's " + alias.becomes +
                      " folder");
      out.front() = alias.becomes;
      break;
    }
  }
  for (const char* noMail : kNoMailFolders) {
    if (Lower(out.front()) == noMail) {
      notes.push_back("folder \"" + out.front() +
                      "\" is a Zimbra folder that takes no mail; it "
                      "became \"" +
                      out.front() + " (mail)\"");
      out.front() += " (mail)";
      break;
    }
  }
  if (Lower(out.front()) == "junk" && out.size() > 1) {
    std::vector<std::string> why;
    std::string merged = RepairSegment(out.front() + " - " + out[1], why);
    notes.push_back("Zimbra's Junk folder takes no subfolders; \"" + out.front() + "/" + out[1] +
                    "\" became the folder \"" + merged + "\"");
    out.erase(out.begin());
    out.front() = std::move(merged);
  }

  return Joined(out);
}

}  // namespace crateline::archive
