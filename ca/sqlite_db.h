// A thin owner of SQLite connections and statements for the authority's database: RAII for the
// C handles, binding by position, and result codes kept as SQLite's own.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::ca::db {

struct ConnectionClose {
  void operator()(sqlite3* p) const noexcept { sqlite3_close_v2(p); }
};
struct StatementFinalize {
  void operator()(sqlite3_stmt* p) const noexcept { sqlite3_finalize(p); }
};

class Statement;

// Connection: one open database file. Not shared between threads: each request opens its own.
class Connection {
 public:
  // open returns a connection to path in WAL mode with a busy time-out, or none with the reason
  // in error. With create false a missing file is not created.
  static std::optional<Connection> open(const std::string& path, bool create, std::string& error);

  // exec runs SQL text without results; SQLITE_OK or the failing code.
  int exec(const char* sql);
  // prepare returns a statement for sql; a null statement when SQLite refuses it.
  Statement prepare(std::string_view sql);
  std::int64_t lastInsertRowid() const { return sqlite3_last_insert_rowid(handle_.get()); }
  std::string lastError() const { return sqlite3_errmsg(handle_.get()); }
  sqlite3* get() const { return handle_.get(); }

 private:
  explicit Connection(sqlite3* handle) : handle_(handle) {}
  std::unique_ptr<sqlite3, ConnectionClose> handle_;
};

// Statement: a prepared statement. Parameters are numbered from 1, columns from 0.
class Statement {
 public:
  explicit Statement(sqlite3_stmt* handle) : handle_(handle) {}
  bool valid() const { return handle_ != nullptr; }

  bool bind(int index, std::int64_t value);
  bool bind(int index, std::string_view text);
  bool bind(int index, std::span<const std::uint8_t> blob);
  bool bindNull(int index);

  // step returns SQLITE_ROW, SQLITE_DONE or an error code.
  int step();
  // run steps a statement that returns no rows: true when it completed.
  bool run() { return step() == SQLITE_DONE; }

  std::int64_t integer(int column) const;
  bool isNull(int column) const;
  std::string text(int column) const;
  std::vector<std::uint8_t> blob(int column) const;

 private:
  std::unique_ptr<sqlite3_stmt, StatementFinalize> handle_;
};

// Transaction: BEGIN IMMEDIATE on construction (so that writers queue on the busy time-out
// instead of failing on lock upgrade), ROLLBACK on destruction unless committed.
class Transaction {
 public:
  explicit Transaction(Connection& connection);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool begun() const { return begun_; }
  bool commit();

 private:
  Connection& connection_;
  bool begun_ = false;
  bool done_ = false;
};

}  // namespace kestrune::ca::db
