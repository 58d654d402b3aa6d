#include "mailbox/takeout.h"
#include "util/ascii_case.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

namespace crateline::mailbox {
namespace {

// Google's own labels and what each means here. Takeout writes them in the language of the
// session that made the export: the English names, and those seen in real exports made in other
// languages and in the tables of tools that read them. A name not listed is taken for a label
// of the user's own, so it becomes a folder and nothing is lost.
enum class Meaning { kInbox, kSent, kDrafts, kJunk, kTrash, kUnread, kChat, kFlag };

struct SystemLabel {
  std::string_view name;
  Meaning meaning;
};

constexpr SystemLabel kSystemLabels[] = {
    // Folders.
    {"Inbox", Meaning::kInbox},
    {"Doru\xc4\x8d"
     "en\xc3\xa9",
     Meaning::kInbox},  // cs
    {"Bo\xc3\xaete de r\xc3\xa9"
     "ception",
     Meaning::kInbox},                                                                  // fr
    {"Posteingang", Meaning::kInbox},                                                   // de
    {"Recibidos", Meaning::kInbox},                                                     // es
    {"Safata d'entrada", Meaning::kInbox},                                              // ca
    {"Posta in arrivo", Meaning::kInbox},                                               // it
    {"Postvak IN", Meaning::kInbox},                                                    // nl
    {"Caixa de entrada", Meaning::kInbox},                                              // pt
    {"\xe5\x8f\x97\xe4\xbf\xa1\xe3\x83\x88\xe3\x83\xac\xe3\x82\xa4", Meaning::kInbox},  // ja
    {"Sent", Meaning::kSent},
    {"Odesl\xc3\xa1no", Meaning::kSent},                                   // cs
    {"Messages envoy\xc3\xa9s", Meaning::kSent},                           // fr
    {"Envoy\xc3\xa9", Meaning::kSent},                                     // fr
    {"Gesendet", Meaning::kSent},                                          // de
    {"Enviados", Meaning::kSent},                                          // es, pt
    {"Enviado", Meaning::kSent},                                           // es, pt
    {"Enviats", Meaning::kSent},                                           // ca
    {"Inviata", Meaning::kSent},                                           // it
    {"Verzonden", Meaning::kSent},                                         // nl
    {"\xe9\x80\x81\xe4\xbf\xa1\xe6\xb8\x88\xe3\x81\xbf", Meaning::kSent},  // ja
    {"Drafts", Meaning::kDrafts},
    {"Draft", Meaning::kDrafts},
    {"Brouillons", Meaning::kDrafts},                            // fr
    {"Entw\xc3\xbcrfe", Meaning::kDrafts},                       // de
    {"Borradores", Meaning::kDrafts},                            // es
    {"Esborranys", Meaning::kDrafts},                            // ca
    {"Bozze", Meaning::kDrafts},                                 // it
    {"Concepten", Meaning::kDrafts},                             // nl
    {"Rascunhos", Meaning::kDrafts},                             // pt
    {"\xe4\xb8\x8b\xe6\x9b\xb8\xe3\x81\x8d", Meaning::kDrafts},  // ja
    {"Spam", Meaning::kJunk},
    {"\xe8\xbf\xb7\xe6\x83\x91\xe3\x83\xa1\xe3\x83\xbc\xe3\x83\xab", Meaning::kJunk},  // ja
    {"Trash", Meaning::kTrash},
    {"Bin", Meaning::kTrash},                                   // en-GB
    {"Corbeille", Meaning::kTrash},                             // fr
    {"Papierkorb", Meaning::kTrash},                            // de
    {"Papelera", Meaning::kTrash},                              // es
    {"Paperera", Meaning::kTrash},                              // ca
    {"Cestino", Meaning::kTrash},                               // it
    {"Prullenbak", Meaning::kTrash},                            // nl
    {"Lixeira", Meaning::kTrash},                               // pt
    {"\xe3\x82\xb4\xe3\x83\x9f\xe7\xae\xb1", Meaning::kTrash},  // ja
    // Read state.
    {"Unread", Meaning::kUnread},
    {"Nep\xc5\x99"
     "e\xc4\x8dten\xc3\xa9",
     Meaning::kUnread},               // cs
    {"Non lus", Meaning::kUnread},    // fr
    {"Ungelesen", Meaning::kUnread},  // de
    {"No le\xc3\xad"
     "dos",
     Meaning::kUnread},                              // es
    {"No llegits", Meaning::kUnread},                // ca
    {"Da leggere", Meaning::kUnread},                // it
    {"Ongelezen", Meaning::kUnread},                 // nl
    {"N\xc3\xa3o lida", Meaning::kUnread},           // pt
    {"\xe6\x9c\xaa\xe8\xaa\xad", Meaning::kUnread},  // ja
    {"Chat", Meaning::kChat},
    // Marks that are no folder.
    {"Opened", Meaning::kFlag},
    {"Ouvert", Meaning::kFlag},  // fr
    {"Ge\xc3\xb6"
     "ffnet",
     Meaning::kFlag},                                                      // de
    {"Abierto", Meaning::kFlag},                                           // es
    {"Oberts", Meaning::kFlag},                                            // ca
    {"Aperto", Meaning::kFlag},                                            // it
    {"Geopend", Meaning::kFlag},                                           // nl
    {"Aberto", Meaning::kFlag},                                            // pt
    {"\xc3\x85pnet", Meaning::kFlag},                                      // nb
    {"\xe9\x96\x8b\xe5\xb0\x81\xe6\xb8\x88\xe3\x81\xbf", Meaning::kFlag},  // ja
    {"Important", Meaning::kFlag},
    {"D\xc5\xaf"
     "le\xc5\xbei"
     "t\xc3\xa9",
     Meaning::kFlag},                              // cs
    {"Wichtig", Meaning::kFlag},                   // de
    {"Importante", Meaning::kFlag},                // es, pt
    {"Importants", Meaning::kFlag},                // ca
    {"Importanti", Meaning::kFlag},                // it
    {"Belangrijk", Meaning::kFlag},                // nl
    {"\xe9\x87\x8d\xe8\xa6\x81", Meaning::kFlag},  // ja
    {"Starred", Meaning::kFlag},
    {"Favoris", Meaning::kFlag},                                                       // fr
    {"Markiert", Meaning::kFlag},                                                      // de
    {"Speciali", Meaning::kFlag},                                                      // it
    {"Met ster", Meaning::kFlag},                                                      // nl
    {"Com estrela", Meaning::kFlag},                                                   // pt
    {"\xe3\x82\xb9\xe3\x82\xbf\xe3\x83\xbc\xe4\xbb\x98\xe3\x81\x8d", Meaning::kFlag},  // ja
    {"Archived", Meaning::kFlag},
    {"Archivov\xc3\xa1no", Meaning::kFlag},        // cs
    {"Messages archiv\xc3\xa9s", Meaning::kFlag},  // fr
    {"Archiv\xc3\xa9s", Meaning::kFlag},           // fr
    {"Gearchiveerd", Meaning::kFlag},              // nl
    {"Muted", Meaning::kFlag},
    {"Read Receipt Sent", Meaning::kFlag},
    {"Scheduled", Meaning::kFlag},
    {"Snoozed", Meaning::kFlag},
};

// The words before ": " in a category's label outside English ("Kategorie: Sociální sítě");
// English writes "Category Social".
constexpr std::array<std::string_view, 9> kCategoryWords = {
    "Kategorie",
    "Cat\xc3\xa9gorie",
    "Kategori",
    "Categor\xc3\xad"
    "a",
    "Categoria",
    "Categorie",
    "Kategoria",
    "Kateg\xc3\xb3ria",
    "\xe3\x82\xab\xe3\x83\x86\xe3\x82\xb4\xe3\x83\xaa"};

using util::EqualsIgnoringCase;
using util::StartsWithIgnoringCase;

std::optional<Meaning> SystemMeaning(std::string_view label) {
  for (const SystemLabel& system : kSystemLabels) {
    if (EqualsIgnoringCase(label, system.name)) return system.meaning;
  }
  return std::nullopt;
}

// White space, and the no-break space (U+00A0) French labels carry before their colon.
std::string_view Trimmed(std::string_view text) {
  for (;;) {
    if (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r' ||
                          text.front() == '\n')) {
      text.remove_prefix(1);
    } else if (text.substr(0, 2) == "\xc2\xa0") {
      text.remove_prefix(2);
    } else if (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                                 text.back() == '\n')) {
      text.remove_suffix(1);
    } else if (text.size() >= 2 && text.substr(text.size() - 2) == "\xc2\xa0") {
      text.remove_suffix(2);
    } else {
      return text;
    }
  }
}

bool IsCategory(std::string_view label) {
  if (StartsWithIgnoringCase(label, "Category ")) return true;
  for (const std::string_view word : kCategoryWords) {
    if (!StartsWithIgnoringCase(label, word)) continue;
    if (Trimmed(label.substr(word.size())).substr(0, 1) == ":") return true;
  }
  return false;
}

std::vector<std::string> Nested(const std::string& label) {
  std::vector<std::string> names;
  std::size_t start = 0;
  for (;;) {
    const auto slash = label.find('/', start);
    const std::string name =
        label.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!name.empty()) names.push_back(name);
    if (slash == std::string::npos) return names;
    start = slash + 1;
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The bytes of one encoded word's text, in its encoding; nothing when it does not decode.
std::optional<std::string> DecodeWordText(char encoding, std::string_view text) {
  std::string out;
  if (encoding == 'Q' || encoding == 'q') {
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '_') {
        out += ' ';
      } else if (text[i] == '=') {
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
      } else {
        out += text[i];
      }
    }
    return out;
  }
  if (encoding == 'B' || encoding == 'b') {
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
      if (c == '=') break;
      const int value = Base64Value(c);
      if (value < 0) return std::nullopt;
      bits = (bits << 6) | static_cast<std::uint32_t>(value);
      count += 6;
      if (count >= 8) {
        count -= 8;
        out += static_cast<char>((bits >> count) & 0xFF);
      }
    }
    return out;
  }
  return std::nullopt;
}

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

// One encoded word at `at` ("=?charset?E?text?="): its decoded text and its length.
std::optional<std::pair<std::string, std::size_t>> EncodedWordAt(std::string_view text,
                                                                 std::size_t at) {
  if (text.substr(at, 2) != "=?") return std::nullopt;
  const auto charsetEnd = text.find('?', at + 2);
  if (charsetEnd == std::string_view::npos || charsetEnd + 2 >= text.size() ||
      text[charsetEnd + 2] != '?') {
    return std::nullopt;
  }
  const auto end = text.find("?=", charsetEnd + 3);
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view charset = text.substr(at + 2, charsetEnd - at - 2);
  charset = charset.substr(0, charset.find('*'));  // RFC 2231's language
  const auto bytes =
      DecodeWordText(text[charsetEnd + 1], text.substr(charsetEnd + 3, end - charsetEnd - 3));
  if (!bytes) return std::nullopt;
  std::string decoded;
  if (EqualsIgnoringCase(charset, "utf-8") || EqualsIgnoringCase(charset, "us-ascii")) {
    decoded = *bytes;
  } else if (EqualsIgnoringCase(charset, "iso-8859-1") || EqualsIgnoringCase(charset, "latin1")) {
    decoded = Latin1ToUtf8(*bytes);
  } else {
    return std::nullopt;
  }
  return std::make_pair(std::move(decoded), end + 2 - at);
}

}  // namespace

bool IsTakeoutFromLine(std::string_view fromLine) {
  constexpr std::string_view kStart = "From ";
  constexpr std::string_view kDomain = "@xxx ";
  if (fromLine.substr(0, kStart.size()) != kStart) return false;
  std::size_t i = kStart.size();
  const std::size_t digits = i;
  while (i < fromLine.size() && fromLine[i] >= '0' && fromLine[i] <= '9') ++i;
  return i > digits && fromLine.substr(i, kDomain.size()) == kDomain;
}

std::string DecodeEncodedWords(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  bool afterWord = false;  // the text since the last encoded word is white space only
  std::size_t spaceFrom = 0;
  while (i < text.size()) {
    if (const auto word = EncodedWordAt(text, i)) {
      if (afterWord) out.resize(spaceFrom);  // white space between two words goes
      out += word->first;
      i += word->second;
      afterWord = true;
      spaceFrom = out.size();
      continue;
    }
    if (text[i] != ' ' && text[i] != '\t' && text[i] != '\r' && text[i] != '\n') afterWord = false;
    out += text[i++];
  }
  return out;
}

std::vector<std::string> TakeoutLabels(std::string_view value) {
  const std::string decoded = DecodeEncodedWords(value);
  std::vector<std::string> labels;
  std::string current;
  bool quoted = false;
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    const char c = decoded[i];
    if (c == '"') {
      if (quoted && i + 1 < decoded.size() && decoded[i + 1] == '"') {
        current += '"';  // CSV's doubled quote
        ++i;
      } else {
        quoted = !quoted;
      }
    } else if (c == ',' && !quoted) {
      labels.emplace_back(Trimmed(current));
      current.clear();
    } else {
      current += c;
    }
  }
  labels.emplace_back(Trimmed(current));
  labels.erase(std::remove(labels.begin(), labels.end(), std::string()), labels.end());
  return labels;
}

LabelFiling FileByLabels(const std::vector<std::string>& labels) {
  LabelFiling filing;
  std::optional<Meaning> firstFolder;
  for (const std::string& label : labels) {
    const auto meaning = SystemMeaning(label);
    if (!meaning) {
      if (label.rfind("IMAP_", 0) == 0 || IsCategory(label)) continue;
      auto names = Nested(label);
      if (!names.empty()) filing.folders.push_back(std::move(names));
      continue;
    }
    switch (*meaning) {
      case Meaning::kChat:
        filing.chat = true;
        break;
      case Meaning::kUnread:
        filing.unread = true;
        break;
      case Meaning::kFlag:
        break;
      default:
        if (!firstFolder) firstFolder = meaning;
    }
  }
  filing.severalLabels = filing.folders.size() > 1;
  if (filing.folders.empty()) {
    const char* folder = "Archive";
    if (firstFolder == Meaning::kInbox) folder = "Inbox";
    if (firstFolder == Meaning::kSent) folder = "Sent";
    if (firstFolder == Meaning::kDrafts) folder = "Drafts";
    if (firstFolder == Meaning::kJunk) folder = "Junk";
    if (firstFolder == Meaning::kTrash) folder = "Trash";
    filing.folders.push_back({folder});
  }
  return filing;
}

}  // namespace crateline::mailbox
