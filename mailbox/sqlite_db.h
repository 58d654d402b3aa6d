// Reading a SQLite file (the address books and calendars of Thunderbird), read-only: the
// program that keeps it may hold it open, and nothing here may change a source. Errors are
// ItemError, with SQLite's own words.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "mailbox/made.h"

namespace crateline::mailbox::sqlite {

// Whether the file's first bytes are a SQLite database's.
bool IsSqlite(std::string_view head);

struct Database {
  sqlite3* db = nullptr;
  std::string path;
  Database() = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database() { sqlite3_close(db); }
};

// Opens `path` read-only into `d`; throws ItemError.
void Open(Database& d, const std::string& path);
// The database at `path`, kept open in `open` from one call to the next (a maker's last file).
Database& Reopen(std::unique_ptr<Database>& open, const std::string& path);
bool HasTable(Database& d, const char* table);
// Whether `table` has every one of `columns`.
bool HasColumns(Database& d, const char* table, std::initializer_list<const char*> columns);

class Statement {
 public:
  Statement(Database& d, const char* sql);
  ~Statement() { sqlite3_finalize(s_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  Statement& Bind(int at, std::int64_t value);
  Statement& Bind(int at, const std::string& value);
  bool Step();  // false at the end
  bool IsNull(int column) const { return sqlite3_column_type(s_, column) == SQLITE_NULL; }
  bool IsInteger(int column) const { return sqlite3_column_type(s_, column) == SQLITE_INTEGER; }
  std::int64_t Int(int column) const { return sqlite3_column_int64(s_, column); }
  std::string Text(int column) const;

 private:
  Database& d_;
  sqlite3_stmt* s_ = nullptr;
};

}  // namespace crateline::mailbox::sqlite
