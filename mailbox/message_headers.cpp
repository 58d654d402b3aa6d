// The dates and flags of mail headers, read by our own code rather than a MIME library's: the
// question is narrow (two dates and three flags, never a body or an encoded word), it must name
// a zone it does not know instead of guessing, take the forms mail programs really wrote
// (asctime, ISO 8601, AM/PM, two-digit years), and build for Windows too, where Debian offers
// no MIME library for the cross compiler.
#include "mailbox/message_headers.h"
#include "util/ascii_case.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace crateline::mailbox {
namespace {

char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsAlpha(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

using util::EqualsIgnoringCase;

std::string LowerCopy(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Lower(c);
  return out;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

int MonthFromName(std::string_view word) {
  static constexpr std::array<std::string_view, 12> kMonths = {
      "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
  if (word.size() < 3) return 0;
  const std::string lower = LowerCopy(word);
  for (std::size_t i = 0; i < kMonths.size(); ++i) {
    if (lower.compare(0, 3, kMonths[i]) == 0) return static_cast<int>(i) + 1;
  }
  return 0;
}

bool IsDayName(std::string_view word) {
  static constexpr std::array<std::string_view, 7> kDays = {"mon", "tue", "wed", "thu",
                                                            "fri", "sat", "sun"};
  if (word.size() < 3) return false;
  const std::string lower = LowerCopy(word.substr(0, 3));
  return std::find(kDays.begin(), kDays.end(), lower) != kDays.end();
}

// Offsets in minutes east of UTC for the zone names mail programs write: RFC 5322's obsolete
// names (UT, GMT and the four US zones), the other North American zones (Atlantic, Alaska,
// Hawaii, Newfoundland), and names that mean one zone only in mail (BST is British Summer
// Time there). Names used for several zones (IST, CST as China's) are not guessed: they are
// unknown. RFC 5322 reads the obsolete military letters as "-0000" (unknown), which is 0 here.
std::optional<int> ZoneFromName(std::string_view word) {
  struct Zone {
    std::string_view name;
    int minutes;
  };
  static constexpr Zone kZones[] = {
      {"ut", 0},     {"utc", 0},    {"gmt", 0},    {"z", 0},      {"est", -300},  {"edt", -240},
      {"cst", -360}, {"cdt", -300}, {"mst", -420}, {"mdt", -360}, {"pst", -480},  {"pdt", -420},
      {"ast", -240}, {"adt", -180}, {"nst", -210}, {"ndt", -150}, {"akst", -540}, {"akdt", -480},
      {"hst", -600}, {"wet", 0},    {"west", 60},  {"bst", 60},   {"cet", 60},    {"cest", 120},
      {"met", 60},   {"mest", 120}, {"mez", 60},   {"mesz", 120}, {"eet", 120},   {"eest", 180},
      {"msk", 180},  {"jst", 540},  {"kst", 540},  {"hkt", 480},  {"sgt", 480},   {"awst", 480},
      {"acst", 570}, {"acdt", 630}, {"aest", 600}, {"aedt", 660}, {"nzst", 720},  {"nzdt", 780},
  };
  const std::string lower = LowerCopy(word);
  for (const Zone& zone : kZones) {
    if (lower == zone.name) return zone.minutes;
  }
  if (lower.size() == 1 && IsAlpha(lower[0]) && lower[0] != 'j') return 0;  // military
  return std::nullopt;
}

struct DateParts {
  int year = -1, month = 0, day = 0;
  int hour = -1, minute = 0, second = 0;
  int zoneMinutes = 0;
  bool zoneKnown = false;   // a numeric or a known named zone was read
  std::string unknownZone;  // a word after the time that looks like a zone but is none we know
  bool pm = false, am = false;
};

bool ParseNumber(std::string_view text, int& value) {
  if (text.empty() || text.size() > 9) return false;
  value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

// "+0100", "-05:30", "+01".
bool ParseNumericZone(std::string_view text, int& minutes) {
  if (text.size() < 3 || (text[0] != '+' && text[0] != '-')) return false;
  std::string digits;
  for (char c : text.substr(1)) {
    if (IsDigit(c))
      digits += c;
    else if (c != ':')
      return false;
  }
  int h = 0, m = 0;
  if (digits.size() == 4) {
    h = (digits[0] - '0') * 10 + (digits[1] - '0');
    m = (digits[2] - '0') * 10 + (digits[3] - '0');
  } else if (digits.size() == 2) {
    h = (digits[0] - '0') * 10 + (digits[1] - '0');
  } else {
    return false;
  }
  if (h > 23 || m > 59) return false;
  minutes = (h * 60 + m) * (text[0] == '-' ? -1 : 1);
  return true;
}

// "09:15", "9:15:00", "09:15:00.123"; a zone glued to it ("09:15:00+0100", "09:15Z") is split off.
bool ParseTime(std::string_view token, DateParts& parts, std::vector<std::string>& rest) {
  std::size_t end = 0;
  while (end < token.size() && (IsDigit(token[end]) || token[end] == ':' || token[end] == '.'))
    ++end;
  if (end < token.size()) rest.emplace_back(token.substr(end));
  std::string_view time = token.substr(0, end);
  if (const auto dot = time.find('.'); dot != std::string_view::npos) time = time.substr(0, dot);
  std::array<int, 3> fields = {0, 0, 0};
  std::size_t count = 0;
  while (!time.empty() && count < 3) {
    const auto colon = time.find(':');
    if (!ParseNumber(time.substr(0, colon), fields[count++])) return false;
    if (colon == std::string_view::npos) break;
    time.remove_prefix(colon + 1);
  }
  if (count < 2) return false;
  parts.hour = fields[0];
  parts.minute = fields[1];
  parts.second = fields[2];
  return true;
}

// Comments in parentheses (which may nest) say nothing a date needs; each becomes a space.
std::string StripComments(std::string_view text) {
  std::string out;
  int depth = 0;
  for (char c : text) {
    if (c == '(') {
      ++depth;
      out += ' ';
    } else if (c == ')' && depth > 0) {
      --depth;
    } else if (depth == 0) {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> Tokens(const std::string& text) {
  std::vector<std::string> tokens;
  std::string current;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n') {
      if (!current.empty()) tokens.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) tokens.push_back(std::move(current));
  return tokens;
}

// Years as mail programs write them: 2 digits are 1950..2049, 3 digits count from 1900.
int FullYear(int year, std::size_t digits) {
  if (digits <= 2) return year < 50 ? 2000 + year : 1900 + year;
  if (digits == 3) return 1900 + year;
  return year;
}

bool ApplyToken(const std::string& token, DateParts& parts, std::vector<std::string>& pending) {
  int zone = 0;
  int number = 0;
  if ((token[0] == '+' || token[0] == '-') && ParseNumericZone(token, zone)) {
    parts.zoneMinutes = zone;
    parts.zoneKnown = true;
    return true;
  }
  // ISO 8601: 2020-03-03, possibly with "T09:15:00Z" glued on.
  if (token.size() >= 10 && IsDigit(token[0]) && token[4] == '-' && token[7] == '-') {
    int y = 0, m = 0, d = 0;
    if (!ParseNumber(token.substr(0, 4), y) || !ParseNumber(token.substr(5, 2), m) ||
        !ParseNumber(token.substr(8, 2), d)) {
      return false;
    }
    if (m < 1 || m > 12 || d < 1) return false;
    parts.year = y, parts.month = m, parts.day = d;
    if (token.size() > 10 && (token[10] == 'T' || token[10] == 't'))
      pending.push_back(token.substr(11));
    return true;
  }
  if (token.find(':') != std::string::npos) return ParseTime(token, parts, pending);
  // 3-Mar-2020
  if (const auto dash = token.find('-');
      dash != std::string::npos && dash > 0 && IsDigit(token[0])) {
    std::string spaced = token;
    std::replace(spaced.begin(), spaced.end(), '-', ' ');
    for (auto& piece : Tokens(spaced)) pending.push_back(piece);
    return true;
  }
  if (ParseNumber(token, number)) {
    if (token.size() >= 3 || parts.day != 0 || number > 31) {
      if (parts.year >= 0) return false;
      parts.year = FullYear(number, token.size());
    } else {
      parts.day = number;
    }
    return true;
  }
  if (IsAlpha(token[0])) {
    std::string word = token;
    if (!word.empty() && word.back() == '.') word.pop_back();
    if (EqualsIgnoringCase(word, "am")) return parts.am = true;
    if (EqualsIgnoringCase(word, "pm")) return parts.pm = true;
    if (IsDayName(word) && word.size() <= 9 && parts.month == 0 && parts.day == 0) return true;
    if (const int month = MonthFromName(word); month != 0 && parts.month == 0 && word.size() <= 9) {
      parts.month = month;
      return true;
    }
    if (const auto named = ZoneFromName(word)) {
      if (!parts.zoneKnown) parts.zoneMinutes = *named;  // "+0100 (CET)": the number counts
      parts.zoneKnown = true;
      return true;
    }
    // "GMT+0200", "UTC-5"
    if (const auto sign = word.find_first_of("+-"); sign == 3 && ZoneFromName(word.substr(0, 3))) {
      int offset = 0;
      if (ParseNumericZone(word.substr(3), offset)) parts.zoneMinutes = offset;
      parts.zoneKnown = true;
      return true;
    }
    // A short word of letters after the time stands where the zone stands.
    const bool letters = std::all_of(word.begin(), word.end(), IsAlpha);
    if (parts.hour >= 0 && letters && word.size() >= 2 && word.size() <= 5 &&
        parts.unknownZone.empty()) {
      parts.unknownZone = word;
    }
    return true;  // other words ("at") are passed over
  }
  return false;
}

}  // namespace

std::optional<std::int64_t> ParseMailDate(std::string_view text, std::string* unknownZone) {
  DateParts parts;
  std::vector<std::string> queue = Tokens(StripComments(text));
  std::reverse(queue.begin(), queue.end());
  int budget = 64;  // tokens split into further tokens; a hostile header cannot loop forever
  while (!queue.empty() && budget-- > 0) {
    const std::string token = std::move(queue.back());
    queue.pop_back();
    if (token.empty()) continue;
    std::vector<std::string> more;
    if (!ApplyToken(token, parts, more)) return std::nullopt;
    for (auto it = more.rbegin(); it != more.rend(); ++it) queue.push_back(*it);
  }
  if (parts.year < 0 || parts.month == 0 || parts.day == 0) return std::nullopt;
  if (parts.year < 1900 || parts.year > 9999) return std::nullopt;
  if (parts.day > DaysInMonth(parts.year, parts.month)) return std::nullopt;
  if (parts.hour < 0) parts.hour = 0;
  if (parts.pm && parts.hour < 12) parts.hour += 12;
  if (parts.am && parts.hour == 12) parts.hour = 0;
  if (parts.hour > 23 || parts.minute > 59 || parts.second > 60) return std::nullopt;
  if (parts.second == 60) parts.second = 59;  // a leap second
  if (unknownZone != nullptr) *unknownZone = parts.zoneKnown ? "" : parts.unknownZone;
  const std::int64_t days = DaysFromCivil(parts.year, static_cast<unsigned>(parts.month),
                                          static_cast<unsigned>(parts.day));
  return days * 86400 + parts.hour * 3600 + parts.minute * 60 + parts.second -
         static_cast<std::int64_t>(parts.zoneMinutes) * 60;
}

namespace {

// A time the entry's field can hold: after 1970 and within 11 octal digits (0 would show as
// 1 January 1970).
bool Usable(std::optional<std::int64_t> time) {
  constexpr std::int64_t kLatest = 077777777777;
  return time && *time > 0 && *time <= kLatest;
}

// The lines of a header section, found by memchr rather than a byte at a time: headers are
// half of most messages, and the header read was a tenth of a conversion's time. The next LF
// found is kept, so that a file whose lines end in a lone CR is not searched to its end for one
// at every line.
class Lines {
 public:
  explicit Lines(std::string_view text) : text_(text) {}

  // The next line, without its end; false at the end of the text.
  bool Next(std::string_view& line) {
    const std::size_t size = text_.size();
    if (pos_ >= size) return false;
    const char* base = text_.data();
    if (lf_ == std::string_view::npos || lf_ < pos_) {
      const void* found = std::memchr(base + pos_, '\n', size - pos_);
      lf_ = found != nullptr ? static_cast<std::size_t>(static_cast<const char*>(found) - base)
                             : size;
    }
    std::size_t end = lf_;
    std::size_t next = lf_ + 1;
    // A CR before the LF ends the line: with the LF when it stands just before it, alone (old
    // Mac mail) otherwise.
    if (const void* cr = std::memchr(base + pos_, '\r', lf_ - pos_); cr != nullptr) {
      end = static_cast<std::size_t>(static_cast<const char*>(cr) - base);
      next = end + 1 < size && base[end + 1] == '\n' ? end + 2 : end + 1;
    }
    line = text_.substr(pos_, end - pos_);
    pos_ = std::min(next, size);
    return true;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t lf_ = std::string_view::npos;  // the LF found last; the size when none is left
};

enum class Field : std::uint8_t { kOther, kDate, kReceived, kMozillaStatus, kStatus, kGmailLabels };

Field FieldOf(std::string_view name) {
  // Told apart by length first: most names are none of these and cost one comparison.
  switch (name.size()) {
    case 4:
      return EqualsIgnoringCase(name, "Date") ? Field::kDate : Field::kOther;
    case 6:
      return EqualsIgnoringCase(name, "Status") ? Field::kStatus : Field::kOther;
    case 8:
      return EqualsIgnoringCase(name, "Received") ? Field::kReceived : Field::kOther;
    case 14:
      return EqualsIgnoringCase(name, "X-Gmail-Labels") ? Field::kGmailLabels : Field::kOther;
    case 16:
      return EqualsIgnoringCase(name, "X-Mozilla-Status") ? Field::kMozillaStatus : Field::kOther;
    default:
      return Field::kOther;
  }
}

// Calls visit(field, value) for every header line whose field `wanted` takes, the value
// unfolded (a line that starts with white space continues the one before it, joined by a
// space), up to the first empty line. Values of other fields are passed over, not copied.
template <typename Wanted, typename Visit>
void ForEachField(std::string_view message, Wanted wanted, Visit visit) {
  Lines lines(message);
  std::string_view line;
  std::string value;
  Field field = Field::kOther;
  bool inHeader = false;
  while (lines.Next(line)) {
    if (line.empty()) break;
    if ((line[0] == ' ' || line[0] == '\t') && inHeader) {
      if (field != Field::kOther) {
        value += ' ';
        value += line;
      }
      continue;
    }
    if (field != Field::kOther) visit(field, std::string_view(value));
    field = Field::kOther;
    const auto colon = line.find(':');
    inHeader = colon != std::string_view::npos && colon > 0;
    if (!inHeader) continue;
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    field = FieldOf(name);
    if (field != Field::kOther && !wanted(field)) field = Field::kOther;
    if (field != Field::kOther) value.assign(line.substr(colon + 1));
  }
  if (field != Field::kOther) visit(field, std::string_view(value));
}

}  // namespace

MessageFacts ReadMessageFacts(std::string_view message) {
  MessageFacts facts;
  ForEachField(
      message, [](Field field) { return field != Field::kReceived; },
      [&](Field field, std::string_view value) {
        switch (field) {
          case Field::kDate:
            if (!facts.date) facts.date = ParseMailDate(value, &facts.unknownZone);
            break;
          case Field::kMozillaStatus:
            if (!facts.mozillaStatus) {
              std::uint32_t status = 0;
              std::size_t digits = 0;
              for (const char c : value) {
                if (std::isxdigit(static_cast<unsigned char>(c)) == 0) continue;
                const int digit = IsDigit(c) ? c - '0' : Lower(c) - 'a' + 10;
                status = (status << 4) | static_cast<std::uint32_t>(digit);
                ++digits;
              }
              if (digits > 0 && digits <= 8) facts.mozillaStatus = status;
            }
            break;
          case Field::kStatus:
            if (!facts.statusRead) facts.statusRead = value.find('R') != std::string_view::npos;
            break;
          case Field::kGmailLabels:
            if (facts.gmailLabels.empty()) facts.gmailLabels = std::string(value);
            break;
          default:
            break;
        }
      });
  // Received dates are read only where they are needed, for a message whose Date gives no
  // time: most messages carry several, each a date to parse.
  if (!Usable(facts.date)) {
    ForEachField(
        message, [](Field field) { return field == Field::kReceived; },
        [&](Field /*field*/, std::string_view value) {
          // The date stands after the last ';'.
          const auto semicolon = value.rfind(';');
          if (semicolon == std::string_view::npos) return;
          if (const auto when = ParseMailDate(value.substr(semicolon + 1))) {
            if (!facts.received || *when > *facts.received) facts.received = when;
          }
        });
  }

  if (facts.mozillaStatus)
    facts.unread = (*facts.mozillaStatus & kMozillaRead) == 0;
  else if (facts.statusRead)
    facts.unread = !*facts.statusRead;
  return facts;
}

std::optional<std::int64_t> ArchiveTime(const MessageFacts& facts, std::int64_t fallback) {
  if (Usable(facts.date)) return facts.date;
  if (Usable(facts.received)) return facts.received;
  if (Usable(fallback)) return fallback;
  return std::nullopt;
}

}  // namespace crateline::mailbox
