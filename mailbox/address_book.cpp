// Thunderbird's address books, read through SQLite, read-only: Thunderbird may hold the same
// file open, and nothing here may change a source.
#include "mailbox/address_book.h"

#include <array>
#include <map>

#include "mailbox/cards.h"
#include "mailbox/mime_build.h"
#include "mailbox/sqlite_db.h"
#include "platform/file_io.h"
#include "scan/listing.h"

namespace crateline::mailbox::address_book {
namespace {

std::string ImageType(std::string_view bytes) {
  if (bytes.substr(0, 8) == "\x89PNG\r\n\x1a\n") return "PNG";
  if (bytes.substr(0, 4) == "GIF8") return "GIF";
  if (bytes.substr(0, 4) == "RIFF") return "WEBP";
  return "JPEG";
}

// A JavaScript string literal of prefs.js from `at` (its opening quote), unescaped.
std::string Literal(const std::string& text, std::size_t& at) {
  std::string out;
  for (++at; at < text.size() && text[at] != '"'; ++at) {
    if (text[at] == '\\' && at + 1 < text.size()) ++at;
    out += text[at];
  }
  ++at;
  return out;
}

// A photo as an inline vCard property, in the form Zimbra keeps as a picture.
std::string PhotoLine(std::string_view photo) {
  std::string encoded = mime::Base64Lines(photo);
  std::erase_if(encoded, [](char c) { return c == '\r' || c == '\n'; });
  return "PHOTO;ENCODING=b;TYPE=" + ImageType(photo) + ":" + encoded;
}

std::string Folder(const std::string& path) {
  const auto slash = path.find_last_of(scan::kSeparator);
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

Book ReadBook(const std::string& path) {
  sqlite::Database d;
  sqlite::Open(d, path);
  Book book;
  // The table of card fields, by its columns: another program's "properties" is no book.
  if (!sqlite::HasColumns(d, "properties", {"card", "name", "value"})) return book;
  book.isBook = true;
  sqlite::Statement cards(d, "SELECT MIN(rowid) FROM properties GROUP BY card ORDER BY 1");
  while (cards.Step()) book.cards.push_back(static_cast<std::uint64_t>(cards.Int(0)));
  if (sqlite::HasTable(d, "lists")) {
    sqlite::Statement lists(d, "SELECT COUNT(*) FROM lists");
    if (lists.Step()) book.lists = static_cast<std::size_t>(lists.Int(0));
  }
  return book;
}

std::string BookName(const std::string& profileDir, const std::string& fileName) {
  std::map<std::string, std::string> files, names;  // pref key → filename, description
  try {
    const std::string text = platform::ReadWholeFile(profileDir + "prefs.js");
    const std::string prefix = "user_pref(\"ldap_2.servers.";
    for (std::size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at)) {
      std::size_t quote = at + 10;
      const std::string pref = Literal(text, quote);  // ldap_2.servers.KEY.FIELD
      const auto dot = pref.rfind('.');
      const std::string key = pref.substr(15, dot - 15);
      const std::string field = pref.substr(dot + 1);
      at = quote;
      const auto value = text.find_first_of("\"\n", at);
      if (value == std::string::npos || text[value] != '"') continue;
      at = value;
      const std::string literal = Literal(text, at);
      if (field == "filename") files[key] = literal;
      if (field == "description") names[key] = literal;
    }
  } catch (const platform::FileError&) {
    // A book copied without its profile: the file's own name is all there is.
  }
  std::string key;
  for (const auto& [k, file] : files) {
    if (file == fileName) key = k;
  }
  if (key.empty())
    key = fileName == "abook.sqlite" ? "pab" : fileName == "history.sqlite" ? "history" : "";
  const auto name = names.find(key);
  // Thunderbird's own books are named by a pointer to its translations until renamed.
  if (name != names.end() && name->second.rfind("chrome://", 0) != 0) return name->second;
  if (key == "pab") return "Personal Address Book";
  if (key == "history") return "Collected Addresses";
  return {};
}

std::string CardFromFields(const std::vector<std::pair<std::string, std::string>>& fields,
                           const std::string& uid, std::string_view photo) {
  std::map<std::string, std::string> f;
  for (const auto& [name, value] : fields) f.emplace(name, value);
  const auto get = [&](const char* name) {
    const auto it = f.find(name);
    return it == f.end() ? std::string() : it->second;
  };
  const auto parts = [&](std::initializer_list<const char*> names) {
    std::string out;
    bool any = false;
    for (const char* name : names) {
      if (name != *names.begin()) out += ';';
      out += cards::EscapedText(get(name));
      any |= !get(name).empty();
    }
    return any ? out : std::string();
  };
  std::string out;
  cards::AppendFolded(out, "BEGIN:VCARD");
  cards::AppendFolded(out, "VERSION:3.0");
  if (!uid.empty()) cards::AppendFolded(out, "UID:" + cards::EscapedText(uid));
  std::string fn = get("DisplayName");
  if (fn.empty()) fn = get("FirstName") + (get("FirstName").empty() ? "" : " ") + get("LastName");
  if (fn.empty()) fn = get("PrimaryEmail");
  cards::AppendFolded(out, "FN:" + cards::EscapedText(fn));
  const std::string n =
      parts({"LastName", "FirstName", "AdditionalNames", "NamePrefix", "NameSuffix"});
  cards::AppendFolded(out, "N:" + (n.empty() ? std::string(";;;;") : n));
  struct Simple {
    const char* field;
    const char* property;
  };
  static constexpr std::array<Simple, 15> kSimple = {{
      {"NickName", "NICKNAME"},
      {"PrimaryEmail", "EMAIL;TYPE=INTERNET,PREF"},
      {"SecondEmail", "EMAIL;TYPE=INTERNET"},
      {"WorkPhone", "TEL;TYPE=WORK"},
      {"HomePhone", "TEL;TYPE=HOME"},
      {"FaxNumber", "TEL;TYPE=FAX"},
      {"PagerNumber", "TEL;TYPE=PAGER"},
      {"CellularNumber", "TEL;TYPE=CELL"},
      {"JobTitle", "TITLE"},
      {"Notes", "NOTE"},
      {"WebPage1", "URL;TYPE=WORK"},
      {"WebPage2", "URL;TYPE=HOME"},
      {"Custom1", "X-CUSTOM1"},
      {"Custom2", "X-CUSTOM2"},
      {"Custom3", "X-CUSTOM3"},
  }};
  for (const auto& simple : kSimple) {
    const std::string value = get(simple.field);
    if (!value.empty())
      cards::AppendFolded(out, std::string(simple.property) + ":" + cards::EscapedText(value));
  }
  if (!get("Custom4").empty())
    cards::AppendFolded(out, "X-CUSTOM4:" + cards::EscapedText(get("Custom4")));
  const std::string org = parts({"Company", "Department"});
  if (!org.empty()) cards::AppendFolded(out, "ORG:" + org);
  for (const char* place : {"Home", "Work"}) {
    const std::string p(place);
    const std::array<std::string, 7> names = {p + "POBox",  p + "Address2", p + "Address",
                                              p + "City",   p + "State",    p + "ZipCode",
                                              p + "Country"};
    std::string adr;
    bool any = false;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i > 0) adr += ';';
      adr += cards::EscapedText(get(names[i].c_str()));
      any |= !get(names[i].c_str()).empty();
    }
    if (any)
      cards::AppendFolded(out,
                          "ADR;TYPE=" + std::string(p == "Home" ? "HOME" : "WORK") + ":" + adr);
  }
  const std::string year = get("BirthYear"), month = get("BirthMonth"), day = get("BirthDay");
  const auto two = [](const std::string& v) { return v.size() == 1 ? "0" + v : v; };
  if (!month.empty() && !day.empty()) {
    cards::AppendFolded(out,
                        "BDAY:" + (year.empty() ? "--" : year + "-") + two(month) + "-" + two(day));
  }
  if (!photo.empty()) cards::AppendFolded(out, PhotoLine(photo));
  cards::AppendFolded(out, "END:VCARD");
  return out;
}

struct CardMaker::Open {
  std::unique_ptr<sqlite::Database> db;
};

CardMaker::CardMaker() : open_(std::make_unique<Open>()) {}
CardMaker::~CardMaker() = default;

Built CardMaker::Make(const std::string& path, std::uint64_t id) {
  sqlite::Database& d = sqlite::Reopen(open_->db, path);
  sqlite::Statement which(d, "SELECT card FROM properties WHERE rowid = ?");
  if (!which.Bind(1, static_cast<std::int64_t>(id)).Step()) {
    throw ItemError("the card is no longer in the address book");
  }
  const std::string uid = which.Text(0);
  std::vector<std::pair<std::string, std::string>> fields;
  sqlite::Statement rows(d, "SELECT name, value FROM properties WHERE card = ? ORDER BY rowid");
  rows.Bind(1, uid);
  while (rows.Step()) fields.emplace_back(rows.Text(0), rows.Text(1));
  Built built;
  std::string card;
  std::string photo;  // kept in the profile's Photos folder, by Thunderbird and by older ones
  for (const auto& [name, value] : fields) {
    if (name == "_vCard" && !value.empty()) card = value;
    if (name != "PhotoName" || value.empty()) continue;
    // A name, not a path: it never leads out of the Photos folder.
    if (value.find_first_of("/\\") != std::string::npos || value == "..") continue;
    try {
      photo = platform::ReadWholeFile(Folder(path) + "Photos" + scan::kSeparator + value);
    } catch (const platform::FileError& error) {
      built.warnings.push_back("its photo could not be read: " + std::string(error.what()));
    }
  }
  if (card.empty()) {
    card = CardFromFields(fields, uid, photo);
  } else {
    if (card.back() != '\n') card += "\r\n";
    if (!photo.empty() && !cards::HasProperty(card, "PHOTO")) {
      card = cards::WithProperty(card, PhotoLine(photo));
    }
  }
  if (!cards::FitForZimbra(card, built.bytes)) built.bytes = std::move(card);
  return built;
}

}  // namespace crateline::mailbox::address_book
