// vCard and iCalendar text, read line by line: a content line is a physical line and the lines
// folded after it (those that begin with a space or a tab); names and parameters are compared
// in any case, as both formats say.
#include "mailbox/cards.h"

#include <algorithm>
#include <array>

#include "util/ascii_case.h"

namespace crateline::mailbox::cards {
namespace {

using util::EqualsIgnoringCase;
using util::StartsWithIgnoringCase;

// One physical line at `at`: its text without the line break, and where the next one begins.
struct Line {
  std::string_view text;
  std::size_t next = 0;
};

Line LineAt(std::string_view text, std::size_t at) {
  const auto lf = text.find('\n', at);
  const std::size_t end = lf == std::string_view::npos ? text.size() : lf;
  std::string_view line = text.substr(at, end - at);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.remove_suffix(1);
  }
  return {line, lf == std::string_view::npos ? text.size() : lf + 1};
}

bool Folded(std::string_view text, std::size_t at) {
  return at < text.size() && (text[at] == ' ' || text[at] == '\t');
}

// The bytes of a physical line without its line break (and CR).
std::string_view Unbroken(std::string_view text, std::size_t at, std::size_t next) {
  std::string_view line = text.substr(at, next - at);
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// A content line: the physical lines from `at` up to the next that is not folded. `first`
// (trimmed) tells BEGIN and END lines; `text` is the property, unfolded, whose name or value a
// writer may have folded anywhere, even between the two.
struct ContentLine {
  std::size_t begin = 0;
  std::size_t end = 0;     // after its last line break
  std::string_view first;  // its first physical line, trailing white space trimmed
  std::string text;        // all of it, unfolded
  std::string_view eol;    // the line break it ends with
};

template <typename Visit>
void EachContentLine(std::string_view text, Visit visit) {
  std::size_t at = text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  ContentLine line;
  while (at < text.size()) {
    line.begin = at;
    const Line first = LineAt(text, at);
    line.first = first.text;
    line.text.assign(Unbroken(text, at, first.next));
    at = first.next;
    while (Folded(text, at)) {
      const std::size_t next = LineAt(text, at).next;
      line.text.append(Unbroken(text, at + 1, next));
      at = next;
    }
    line.end = at;
    const std::string_view last = text.substr(line.begin, line.end - line.begin);
    line.eol = last.ends_with("\r\n") ? "\r\n" : last.ends_with("\n") ? "\n" : "";
    visit(line);
  }
}

// A property's name without its group ("item1.PHOTO" → "PHOTO"), and where its parameters begin.
std::string_view PropertyName(std::string_view line, std::size_t& paramsAt) {
  const auto end = line.find_first_of(";:");
  paramsAt = end == std::string_view::npos ? line.size() : end;
  std::string_view name = line.substr(0, paramsAt);
  const auto dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

// Where the value begins: after the first colon outside a quoted parameter value.
std::size_t ValueColon(std::string_view line) {
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == ':' && !quoted) return i;
  }
  return std::string_view::npos;
}

// The parameters between the name and the value colon, one at a time.
std::vector<std::string_view> Parameters(std::string_view params) {
  std::vector<std::string_view> out;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= params.size(); ++i) {
    if (i < params.size() && params[i] == '"') quoted = !quoted;
    if (i == params.size() || (params[i] == ';' && !quoted)) {
      if (i > start) out.push_back(params.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

// The image type Zimbra is to be told, by the base64 text's first characters.
std::string_view ImageType(std::string_view base64) {
  struct Magic {
    std::string_view start;
    std::string_view type;
  };
  static constexpr std::array<Magic, 5> kMagic = {{{"/9j/", "JPEG"},
                                                   {"iVBORw0KGgo", "PNG"},
                                                   {"R0lGOD", "GIF"},
                                                   {"Qk", "BMP"},
                                                   {"UklGR", "WEBP"}}};
  for (const auto& magic : kMagic) {
    if (base64.substr(0, magic.start.size()) == magic.start) return magic.type;
  }
  return "JPEG";  // what nearly every address book holds; the bytes are kept as they are
}

bool IsLine(std::string_view line, std::string_view what) {
  return EqualsIgnoringCase(line, what);
}

// A photo line rewritten, or false when it needs no change (or cannot be understood).
bool FitPhoto(std::string_view line, std::size_t paramsAt, std::string& out) {
  const std::size_t colon = ValueColon(line);
  if (colon == std::string_view::npos || colon < paramsAt) return false;
  const std::string_view head = line.substr(0, paramsAt);
  const auto params = Parameters(line.substr(paramsAt, colon - paramsAt));
  const std::string_view value = line.substr(colon + 1);
  if (StartsWithIgnoringCase(value, "data:")) {
    const auto comma = value.find(',');
    if (comma == std::string_view::npos) return false;
    const std::string_view media = value.substr(5, comma - 5);
    const auto semi = media.rfind(';');
    if (semi == std::string_view::npos || !EqualsIgnoringCase(media.substr(semi + 1), "base64")) {
      return false;  // percent-encoded bytes: rare, and Zimbra keeps them as the URI they are
    }
    const std::string_view data = value.substr(comma + 1);
    std::string type;
    const auto slash = media.find('/');
    if (slash != std::string_view::npos && slash < semi) {
      for (char c : media.substr(slash + 1, semi - slash - 1)) {
        type += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
      }
    }
    if (type.empty()) type = ImageType(data);
    out.append(head);
    for (const auto param : params) {  // VALUE=URI and MEDIATYPE say what no longer holds
      if (StartsWithIgnoringCase(param, "VALUE=") || StartsWithIgnoringCase(param, "MEDIATYPE=") ||
          StartsWithIgnoringCase(param, "TYPE=") || StartsWithIgnoringCase(param, "ENCODING=")) {
        continue;
      }
      out.append(";").append(param);
    }
    out.append(";ENCODING=b;TYPE=").append(type).append(":").append(data);
    return true;
  }
  bool base64 = false;
  std::string_view bare;  // vCard 2.1 names the type bare ("PHOTO;JPEG;ENCODING=BASE64")
  for (const auto param : params) {
    if (IsLine(param, "ENCODING=b") || IsLine(param, "ENCODING=BASE64") ||
        IsLine(param, "BASE64")) {
      base64 = true;
    } else if (StartsWithIgnoringCase(param, "TYPE=")) {
      return false;
    } else if (param.find('=') == std::string_view::npos) {
      bare = param;
    }
  }
  if (!base64) return false;
  // Zimbra's parser knows no bare type, so it is said again as TYPE=.
  out.append(head).append(";TYPE=");
  out.append(bare.empty() ? ImageType(value) : bare).append(line.substr(paramsAt));
  return true;
}

bool BeginsWith(std::string_view head, std::string_view what) {
  if (head.substr(0, 3) == "\xEF\xBB\xBF") head.remove_prefix(3);
  while (!head.empty() && (head.front() == '\r' || head.front() == '\n' || head.front() == ' ')) {
    head.remove_prefix(1);
  }
  return IsLine(LineAt(head, 0).text, what);
}

}  // namespace

std::vector<Span> SplitCards(std::string_view text, std::vector<Span>& unended) {
  std::vector<Span> cards;
  int depth = 0;
  std::size_t start = 0;
  bool agent = false;  // the line before was vCard 2.1's AGENT, whose card follows it
  EachContentLine(text, [&](const ContentLine& line) {
    if (IsLine(line.first, "BEGIN:VCARD")) {
      if (depth > 0 && !agent) {
        // A card that never ended: the next begins here, and is not lost with it.
        unended.push_back({start, line.begin - start});
        depth = 0;
      }
      if (depth++ == 0) start = line.begin;
    } else if (IsLine(line.first, "END:VCARD") && depth > 0 && --depth == 0) {
      cards.push_back({start, line.end - start});
    }
    std::size_t paramsAt = 0;
    const std::string_view name = PropertyName(line.text, paramsAt);
    agent = IsLine(name, "AGENT") && !line.text.empty() && line.text.back() == ':';
  });
  if (depth > 0) unended.push_back({start, text.size() - start});
  return cards;
}

bool HasProperty(std::string_view card, std::string_view wanted) {
  bool found = false;
  EachContentLine(card, [&](const ContentLine& line) {
    std::size_t paramsAt = 0;
    found |= IsLine(PropertyName(line.text, paramsAt), wanted);
  });
  return found;
}

std::string WithProperty(std::string_view card, std::string_view line) {
  std::size_t end = card.size();
  std::string_view eol = "\r\n";
  EachContentLine(card, [&](const ContentLine& content) {
    if (IsLine(content.first, "END:VCARD")) {
      end = content.begin;
      if (!content.eol.empty()) eol = content.eol;
    }
  });
  std::string out(card.substr(0, end));
  AppendFolded(out, line, eol);
  out.append(card.substr(end));
  return out;
}

bool HasFields(std::string_view card) {
  bool fields = false;
  EachContentLine(card, [&](const ContentLine& line) {
    std::size_t paramsAt = 0;
    const std::string_view name = PropertyName(line.text, paramsAt);
    if (!name.empty() && !IsLine(name, "BEGIN") && !IsLine(name, "END") &&
        !IsLine(name, "VERSION")) {
      fields = true;
    }
  });
  return fields;
}

bool FitForZimbra(std::string_view card, std::string& out) {
  out.clear();
  bool changed = false;
  if (card.substr(0, 3) == "\xEF\xBB\xBF") out.append(card.substr(0, 3));
  EachContentLine(card, [&](const ContentLine& line) {
    std::size_t paramsAt = 0;
    const std::string_view name = PropertyName(line.text, paramsAt);
    std::string fitted;
    if ((IsLine(name, "PHOTO") || IsLine(name, "LOGO")) && FitPhoto(line.text, paramsAt, fitted)) {
      // Folded again, with the card's own line breaks.
      changed = true;
      AppendFolded(out, fitted, line.eol.empty() ? "\r\n" : line.eol);
    } else {
      out.append(card.substr(line.begin, line.end - line.begin));
    }
  });
  return changed;
}

CalendarFacts ReadCalendar(std::string_view text) {
  CalendarFacts facts;
  int depth = 0;
  EachContentLine(text, [&](const ContentLine& line) {
    std::size_t paramsAt = 0;
    const std::string_view name = PropertyName(line.text, paramsAt);
    const std::size_t colon = ValueColon(line.text);
    std::string_view value = colon == std::string_view::npos
                                 ? std::string_view()
                                 : std::string_view(line.text).substr(colon + 1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (IsLine(name, "BEGIN")) {
      if (depth == 0 && IsLine(value, "VCALENDAR")) ++facts.calendars;
      if (depth == 1) {
        if (IsLine(value, "VEVENT")) ++facts.events;
        if (IsLine(value, "VTODO")) ++facts.todos;
        if (IsLine(value, "VJOURNAL")) ++facts.journals;
      }
      ++depth;
    } else if (IsLine(name, "END")) {
      if (depth > 0) --depth;
    } else if (depth == 1 && IsLine(name, "VERSION") && facts.version.empty()) {
      facts.version = value;
    } else if (depth == 1 && IsLine(name, "METHOD") && facts.method.empty()) {
      facts.method = value;
    } else if (depth == 1 && facts.name.empty() && IsLine(name, "X-WR-CALNAME")) {
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
          const char e = value[++i];
          facts.name += e == 'n' || e == 'N' ? ' ' : e;
        } else {
          facts.name += value[i];
        }
      }
    }
  });
  facts.ends = facts.calendars > 0 && depth == 0;
  return facts;
}

std::string CalendarFault(const CalendarFacts& facts) {
  // Zimbra's parser refuses only a calendar that names another version.
  if (!facts.version.empty() && facts.version != "2.0") {
    return "an iCalendar file of version \"" + facts.version +
           "\": Zimbra's import takes only version 2.0";
  }
  if (!facts.method.empty() && !IsLine(facts.method, "PUBLISH") &&
      !IsLine(facts.method, "REQUEST")) {
    return "its METHOD is " + facts.method +
           ": Zimbra's import passes over such a calendar (only PUBLISH or REQUEST)";
  }
  return {};
}

std::string CardFault(std::string_view card) {
  constexpr std::size_t kMostFields = 1000;  // what Zimbra stores of one contact
  std::string fault;
  std::size_t fields = 0;
  bool softBreak = false;  // the line before ended a quoted-printable line with "="
  EachContentLine(card, [&](const ContentLine& line) {
    const bool continued = softBreak;
    softBreak = !line.first.empty() && line.first.back() == '=';
    if (continued || line.first.empty()) return;
    ++fields;
    if (fault.empty() && line.text.find(':') == std::string::npos) {
      fault = "its line \"" + line.text.substr(0, 40) +
              "\" is no property (it has no colon): Zimbra refuses the card";
    }
  });
  if (fault.empty() && fields > kMostFields + 3) {
    fault = "it has more than 1,000 properties, more than Zimbra keeps of a contact";
  }
  return fault;
}

std::string EscapedText(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '\\' || c == ',' || c == ';') {
      out += '\\';
      out += c;
    } else if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void AppendFolded(std::string& out, std::string_view line, std::string_view eol) {
  std::size_t start = 0;
  bool first = true;
  while (start < line.size()) {
    std::size_t end = std::min(line.size(), start + (first ? 75 : 74));
    while (end < line.size() && end > start + 1 &&
           (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) {
      --end;
    }
    if (!first) out += ' ';
    out.append(line.substr(start, end - start));
    out += eol;
    start = end;
    first = false;
  }
}

bool BeginsVcard(std::string_view head) {
  return BeginsWith(head, "BEGIN:VCARD");
}
bool BeginsIcalendar(std::string_view head) {
  return BeginsWith(head, "BEGIN:VCALENDAR");
}

}  // namespace crateline::mailbox::cards
