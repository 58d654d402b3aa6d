// SQLite, read-only.
#include "mailbox/sqlite_db.h"

#include <algorithm>
#include <vector>

#include "scan/listing.h"

namespace crateline::mailbox::sqlite {
namespace {

[[noreturn]] void Fail(const Database& d, const char* what) {
  throw ItemError(std::string(what) + ": " + (d.db != nullptr ? sqlite3_errmsg(d.db) : "?"));
}

// A path as the path of a "file:" URI: the system's separators as '/', a drive letter after
// one, and every byte that could be read as part of the URI's syntax as %XX.
std::string UriPath(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
#ifdef _WIN32
  if (path.size() >= 2 && path[1] == ':') out += '/';
#endif
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       std::string_view("-._~/:").find(c) != std::string_view::npos;
#ifdef _WIN32
    if (c == '\\') {
      out += '/';
      continue;
    }
#endif
    if (plain) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

}  // namespace

bool IsSqlite(std::string_view head) {
  return head.size() >= 16 && head.substr(0, 16) == std::string_view("SQLite format 3\0", 16);
}

void Open(Database& d, const std::string& path) {
  d.path = path;
  // Without a write-ahead log beside it, the file is all there is: opened as immutable, SQLite
  // creates nothing beside it (a source is never written to) and reads it from read-only media
  // too. With one (the program that keeps it is running, or was stopped), it is read with it,
  // waiting a moment for a writer.
  const bool log = scan::KindAt(path + "-wal") == scan::EntryKind::kFile;
  const std::string uri = "file:" + UriPath(path) + (log ? "?mode=ro" : "?immutable=1");
  const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
  if (sqlite3_open_v2(uri.c_str(), &d.db, flags, nullptr) != SQLITE_OK) {
    Fail(d, "cannot be opened as a SQLite database");
  }
  if (log) sqlite3_busy_timeout(d.db, 2000);
}

Database& Reopen(std::unique_ptr<Database>& open, const std::string& path) {
  if (!open || open->path != path) {
    open.reset();
    auto fresh = std::make_unique<Database>();
    Open(*fresh, path);
    open = std::move(fresh);
  }
  return *open;
}

bool HasTable(Database& d, const char* table) {
  Statement s(d, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  return s.Bind(1, std::string(table)).Step();
}

bool HasColumns(Database& d, const char* table, std::initializer_list<const char*> columns) {
  if (!HasTable(d, table)) return false;
  std::vector<std::string> have;
  Statement s(d, "SELECT name FROM pragma_table_info(?)");
  s.Bind(1, std::string(table));
  while (s.Step()) have.push_back(s.Text(0));
  return std::all_of(columns.begin(), columns.end(), [&](const char* column) {
    return std::find(have.begin(), have.end(), column) != have.end();
  });
}

Statement::Statement(Database& d, const char* sql) : d_(d) {
  if (sqlite3_prepare_v2(d.db, sql, -1, &s_, nullptr) != SQLITE_OK) Fail(d, "cannot be read");
}

Statement& Statement::Bind(int at, std::int64_t value) {
  sqlite3_bind_int64(s_, at, value);
  return *this;
}

Statement& Statement::Bind(int at, const std::string& value) {
  sqlite3_bind_text(s_, at, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  return *this;
}

bool Statement::Step() {
  const int rc = sqlite3_step(s_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) Fail(d_, "cannot be read");
  return false;
}

std::string Statement::Text(int column) const {
  const auto* text = sqlite3_column_text(s_, column);
  if (text == nullptr) return {};
  return {reinterpret_cast<const char*>(text),
          static_cast<std::size_t>(sqlite3_column_bytes(s_, column))};
}

}  // namespace crateline::mailbox::sqlite
