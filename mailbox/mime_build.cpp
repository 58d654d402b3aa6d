// Header fields and transfer encodings for messages Crateline makes itself.
#include "mailbox/mime_build.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace crateline::mailbox::mime {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kBase64Line = 76;
constexpr std::size_t kQpLine = 75;  // and its soft break's "=" makes 76
constexpr std::size_t kFieldLine = 78;
// An encoded word may be 75 characters long: "=?utf-8?b?" and "?=" leave 63, which holds 45
// bytes of base64 input.
constexpr std::size_t kWordBytes = 45;

void Group(const unsigned char* in, std::size_t n, std::string& out) {
  const std::uint32_t v = (std::uint32_t{in[0]} << 16) | (n > 1 ? std::uint32_t{in[1]} << 8 : 0) |
                          (n > 2 ? std::uint32_t{in[2]} : 0);
  out += kAlphabet[(v >> 18) & 63];
  out += kAlphabet[(v >> 12) & 63];
  out += n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
  out += n > 2 ? kAlphabet[v & 63] : '=';
}

std::string Base64(std::string_view bytes) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t i = 0; i < bytes.size(); i += 3)
    Group(p + i, std::min<std::size_t>(3, bytes.size() - i), out);
  return out;
}

// The length of the UTF-8 sequence that begins with `lead`, 1 for a byte that begins none.
std::size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead < 0xF5) return 4;
  if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

bool NeedsQuotes(std::string_view text) {
  for (const char c : text) {
    if (std::string_view("()<>[]:;@\\,.\"").find(c) != std::string_view::npos) return true;
  }
  return false;
}

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

bool IsPrintable(std::string_view text) {
  for (const char c : text) {
    if (c < ' ' || c > '~') return false;
  }
  return true;
}

}  // namespace

std::string Base64Lines(std::string_view bytes) {
  std::string out;
  Base64Stream stream;
  stream.Add(bytes, out);
  stream.Finish(out);
  return out;
}

void Base64Stream::Add(std::string_view bytes, std::string& out) {
  const auto emit = [&](const unsigned char* group) {
    Group(group, 3, out);
    column_ += 4;
    if (column_ == kBase64Line) {
      out += "\r\n";
      column_ = 0;
    }
  };
  std::size_t i = 0;
  if (!carry_.empty()) {
    while (carry_.size() < 3 && i < bytes.size()) carry_ += bytes[i++];
    if (carry_.size() < 3) return;
    emit(reinterpret_cast<const unsigned char*>(carry_.data()));
    carry_.clear();
  }
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (; i + 3 <= bytes.size(); i += 3) emit(p + i);
  carry_.assign(bytes.substr(i));
}

void Base64Stream::Finish(std::string& out) {
  if (!carry_.empty()) {
    Group(reinterpret_cast<const unsigned char*>(carry_.data()), carry_.size(), out);
    column_ += 4;
    carry_.clear();
  }
  if (column_ > 0) out += "\r\n";
  column_ = 0;
}

std::string QuotedPrintable(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  std::size_t column = 0;
  const auto put = [&](std::string_view piece) {
    if (column + piece.size() > kQpLine) {
      out += "=\r\n";
      column = 0;
    }
    out += piece;
    column += piece.size();
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool lineEnd = c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
    if (lineEnd) {
      if (c == '\r') ++i;
      out += "\r\n";
      column = 0;
      continue;
    }
    // A space or tab before a line end would be taken away on the way: encoded, it stays.
    const bool last = i + 1 == text.size() || text[i + 1] == '\n' || text[i + 1] == '\r';
    const bool plain = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last);
    // "From " at a line's start turns into ">From " in some mailboxes; a lone "." ends SMTP.
    // The start of a line is where the character will stand, after any soft break.
    const bool lineStart = column == 0 || column + 1 > kQpLine;
    if (plain && !(lineStart && (c == '.' || text.substr(i, 5) == "From "))) {
      put(std::string_view(&text[i], 1));
    } else {
      const char code[3] = {'=', kHex[c >> 4], kHex[c & 15]};
      put(std::string_view(code, 3));
    }
  }
  return out;
}

std::string HeaderText(std::string_view utf8) {
  if (IsPrintable(utf8)) return std::string(utf8);
  std::string out;
  for (std::size_t i = 0; i < utf8.size();) {
    std::size_t end = i;
    while (end < utf8.size()) {
      const std::size_t next =
          std::min(utf8.size(), end + SequenceLength(static_cast<unsigned char>(utf8[end])));
      if (next - i > kWordBytes && end > i) break;
      end = next;
    }
    if (!out.empty()) out += ' ';
    out += "=?utf-8?b?" + Base64(utf8.substr(i, end - i)) + "?=";
    i = end;
  }
  return out;
}

std::string Address(std::string_view name, std::string_view address) {
  std::string phrase;
  if (!name.empty() && name != address) {
    phrase = IsPrintable(name) && NeedsQuotes(name) ? Quoted(name) : HeaderText(name);
  }
  if (address.empty())
    return phrase.empty() ? std::string("undisclosed-recipients:;") : phrase + " :;";
  if (phrase.empty()) return std::string(address);
  return phrase + " <" + std::string(address) + ">";
}

std::string Parameter(std::string_view name, std::string_view utf8) {
  if (IsPrintable(utf8)) return "; " + std::string(name) + "=" + Quoted(utf8);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string value = "utf-8''";
  for (const char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
        std::string_view("!#$&+-.^_`|~").find(ch) != std::string_view::npos) {
      value += ch;
    } else {
      value += '%';
      value += kHex[c >> 4];
      value += kHex[c & 15];
    }
  }
  return "; " + std::string(name) + "*=" + value;
}

std::string Field(std::string_view name, std::string_view value) {
  std::string out(name);
  out += ':';
  std::size_t column = out.size();
  std::size_t i = 0;
  while (i < value.size()) {
    std::size_t space = value.find(' ', i + 1);
    if (space == std::string_view::npos) space = value.size();
    const std::string_view word = value.substr(i, space - i);  // with its leading space, if any
    const bool leadingSpace = !word.empty() && word.front() == ' ';
    if (column + word.size() + (leadingSpace ? 0 : 1) > kFieldLine && column > name.size() + 1) {
      out += "\r\n";
      column = 0;
      if (!leadingSpace) {
        out += ' ';
        ++column;
      }
    } else if (i == 0) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    i = space;
  }
  return out + "\r\n";
}

std::string Date(std::int64_t seconds) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto t = static_cast<std::time_t>(seconds);
  std::tm utc{};
#ifdef _WIN32
  if (gmtime_s(&utc, &t) != 0) return "";
#else
  if (gmtime_r(&t, &utc) == nullptr) return "";
#endif
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[utc.tm_wday],
                utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return text;
}

bool IsAscii(std::string_view bytes) {
  for (const char c : bytes) {
    if (c == '\0' || static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool IsUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const std::size_t n = SequenceLength(lead);
    if (n == 1) {
      if (lead >= 0x80) return false;
      ++i;
      continue;
    }
    if (i + n > bytes.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
    }
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
      return false;
    }
    i += n;
  }
  return true;
}

}  // namespace crateline::mailbox::mime
