#include "mailbox/content.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "mailbox/message_headers.h"
#include "mailbox/outlook.h"
#include "util/ascii_case.h"

namespace crateline::mailbox {
namespace {

constexpr unsigned char kAppleDoubleMagic[4] = {0x00, 0x05, 0x16, 0x07};
constexpr std::string_view kFrom = "From ";

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EndsWithIgnoringCase(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  const std::string_view end = text.substr(text.size() - suffix.size());
  return std::equal(end.begin(), end.end(), suffix.begin(),
                    [](char a, char b) { return Lower(a) == b; });
}

// The line at `pos` (to a CR, an LF or the end) and where the next one begins; CR LF is one end.
std::string_view LineAt(std::string_view text, std::size_t pos, std::size_t& next, bool& ended) {
  std::size_t end = pos;
  while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
  ended = end < text.size();
  next = end;
  if (next < text.size())
    next += text[next] == '\r' && next + 1 < text.size() && text[next + 1] == '\n' ? 2 : 1;
  return text.substr(pos, end - pos);
}

}  // namespace

std::optional<std::string_view> FieldName(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && line[i] > ' ' && line[i] < 0x7F && line[i] != ':') ++i;
  if (i == 0) return std::nullopt;
  std::size_t colon = i;
  while (colon < line.size() && (line[colon] == ' ' || line[colon] == '\t')) ++colon;
  if (colon >= line.size() || line[colon] != ':') return std::nullopt;
  return line.substr(0, i);
}

namespace {

using util::EqualsIgnoringCase;

// Fields that only messages carry: what tells a message from any file of "Name: value" lines.
bool IsMessageField(std::string_view name) {
  static constexpr std::array<std::string_view, 5> kFields = {"from", "date", "received",
                                                              "return-path", "delivered-to"};
  return std::any_of(kFields.begin(), kFields.end(),
                     [&](std::string_view field) { return EqualsIgnoringCase(name, field); });
}

bool IsDayOrMonth(std::string_view word) {
  static constexpr std::array<std::string_view, 19> kNames = {
      "mon", "tue", "wed", "thu", "fri", "sat", "sun", "jan", "feb", "mar",
      "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
  if (!word.empty() && word.back() == ',') word.remove_suffix(1);
  if (word.size() < 3 || word.size() > 9) return false;
  if (!std::all_of(word.begin(), word.end(),
                   [](char c) { return Lower(c) >= 'a' && Lower(c) <= 'z'; }))
    return false;
  return std::any_of(kNames.begin(), kNames.end(), [&](std::string_view name) {
    return Lower(word[0]) == name[0] && Lower(word[1]) == name[1] && Lower(word[2]) == name[2];
  });
}

}  // namespace

bool HasEmlSuffix(std::string_view name) {
  return EndsWithIgnoringCase(name, ".eml");
}

bool HasEmlxSuffix(std::string_view name) {
  return EndsWithIgnoringCase(name, ".emlx");
}

bool IsAppleDouble(std::string_view head) {
  return head.size() >= sizeof kAppleDoubleMagic &&
         std::memcmp(head.data(), kAppleDoubleMagic, sizeof kAppleDoubleMagic) == 0;
}

bool BeginsWithHeaders(std::string_view head) {
  bool messageField = false;
  bool first = true;
  for (std::size_t pos = 0; pos < head.size();) {
    std::size_t next = 0;
    bool ended = false;
    const std::string_view line = LineAt(head, pos, next, ended);
    if (line.find('\0') != std::string_view::npos) return false;
    if (line.empty()) return !first && messageField;  // the empty line that ends the section
    if (line[0] == ' ' || line[0] == '\t') {
      if (first) return false;
    } else if (const auto name = FieldName(line)) {
      messageField |= IsMessageField(*name);
    } else if (ended || first) {
      return false;
    }  // else a last line cut off where the look ends
    first = false;
    pos = next;
  }
  return messageField;  // a header section longer than the look, or a message without a body
}

bool BeginsWithFromLine(std::string_view head) {
  if (head.substr(0, kFrom.size()) != kFrom) return false;
  std::size_t next = 0;
  bool ended = false;
  LineAt(head, 0, next, ended);
  if (next >= head.size()) return true;  // only the line: an mbox of one empty message
  std::size_t after = 0;
  const std::string_view line = LineAt(head, next, after, ended);
  return line.empty() || FieldName(line).has_value();
}

Content Sniff(std::string_view name, std::string_view head) {
  if (IsAppleDouble(head)) return Content::kAppleDouble;
  if (HasEmlSuffix(name)) return Content::kMessage;
  if (HasEmlxSuffix(name) && ParseEmlxCount(head)) return Content::kEmlx;
  if (BeginsWithFromLine(head)) return Content::kMbox;
  if (BeginsWithHeaders(head)) return Content::kMessage;
  if (outlook::HasSignature(head)) return Content::kOutlook;
  return Content::kNoMail;
}

char MboxLineEnd(std::string_view head) {
  const auto end = head.find_first_of("\r\n");
  const bool loneCr = end != std::string_view::npos && head[end] == '\r' &&
                      (end + 1 >= head.size() || head[end + 1] != '\n');
  return loneCr ? '\r' : '\n';
}

bool IsEnvelopeLine(std::string_view line) {
  if (line.size() > kLongestEnvelope || line.substr(0, kFrom.size()) != kFrom) return false;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::size_t at = kFrom.size();
  const std::size_t sender = at;
  while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
  if (at == sender) return false;
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  const std::string_view date = line.substr(at);
  const std::string_view word = date.substr(0, date.find_first_of(" \t"));
  // The date follows the sender at once, and has a time: a line of prose that begins "From"
  // rarely has both.
  return IsDayOrMonth(word) && date.find(':') != std::string_view::npos &&
         ParseMailDate(date).has_value();
}

bool IsMboxSeparator(std::string_view line, bool afterEmptyLine) {
  if (line.substr(0, kFrom.size()) != kFrom) return false;
  return afterEmptyLine || IsEnvelopeLine(line);
}

std::optional<EmlxCount> ParseEmlxCount(std::string_view head) {
  std::size_t i = 0;
  while (i < head.size() && head[i] == ' ') ++i;
  const std::size_t digits = i;
  std::uint64_t count = 0;
  while (i < head.size() && head[i] >= '0' && head[i] <= '9') {
    if (i - digits >= 19) return std::nullopt;
    count = count * 10 + static_cast<std::uint64_t>(head[i] - '0');
    ++i;
  }
  if (i == digits || count == 0) return std::nullopt;
  while (i < head.size() && (head[i] == ' ' || head[i] == '\t' || head[i] == '\r')) ++i;
  if (i >= head.size() || head[i] != '\n') return std::nullopt;
  return EmlxCount{count, i + 1};
}

bool BeginsPropertyList(std::string_view bytes) {
  return bytes.empty() || bytes.rfind("<?xml", 0) == 0 || bytes.rfind("<!DOCTYPE plist", 0) == 0 ||
         bytes.rfind("<plist", 0) == 0;
}

std::size_t TrailingPropertyList(std::string_view tail) {
  constexpr std::string_view kEnd = "</plist>";
  while (!tail.empty() && (tail.back() == '\n' || tail.back() == '\r' || tail.back() == ' ' ||
                           tail.back() == '\t')) {
    tail.remove_suffix(1);
  }
  if (tail.size() < kEnd.size() || tail.substr(tail.size() - kEnd.size()) != kEnd) {
    return std::string_view::npos;
  }
  for (const std::string_view start : {"<?xml", "<!DOCTYPE plist", "<plist"}) {
    const auto at = tail.rfind(start);
    if (at != std::string_view::npos) return at;
  }
  return std::string_view::npos;
}

}  // namespace crateline::mailbox
