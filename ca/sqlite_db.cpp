#include "ca/sqlite_db.h"

#include <climits>

namespace kestrune::ca::db {

namespace {

// A writer waits this long for another connection's transaction before giving up.
constexpr int kBusyTimeoutMs = 10'000;

}  // namespace

std::optional<Connection> Connection::open(const std::string& path, bool create,
                                           std::string& error) {
  sqlite3* raw = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Connection connection(raw);  // owns raw even when the open failed
  if (rc != SQLITE_OK) {
    error = "cannot open " + path + ": " + (raw != nullptr ? sqlite3_errmsg(raw) : "no memory");
    return std::nullopt;
  }
  sqlite3_extended_result_codes(raw, 1);
  if (sqlite3_busy_timeout(raw, kBusyTimeoutMs) != SQLITE_OK ||
      connection.exec("PRAGMA journal_mode=WAL") != SQLITE_OK ||
      // Every commit reaches the disk: an issued serial number must never be handed out again.
      connection.exec("PRAGMA synchronous=FULL") != SQLITE_OK ||
      connection.exec("PRAGMA foreign_keys=ON") != SQLITE_OK) {
    error = "cannot set up " + path + ": " + connection.lastError();
    return std::nullopt;
  }
  return connection;
}

int Connection::exec(const char* sql) {
  return sqlite3_exec(handle_.get(), sql, nullptr, nullptr, nullptr);
}

Statement Connection::prepare(std::string_view sql) {
  sqlite3_stmt* raw = nullptr;
  if (sql.size() > INT_MAX ||
      sqlite3_prepare_v2(handle_.get(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr) !=
          SQLITE_OK) {
    sqlite3_finalize(raw);
    raw = nullptr;
  }
  return Statement(raw);
}

bool Statement::bind(int index, std::int64_t value) {
  return handle_ && sqlite3_bind_int64(handle_.get(), index, value) == SQLITE_OK;
}

bool Statement::bind(int index, std::string_view text) {
  return handle_ && text.size() <= INT_MAX &&
         sqlite3_bind_text(handle_.get(), index, text.data(), static_cast<int>(text.size()),
                           SQLITE_TRANSIENT) == SQLITE_OK;
}

bool Statement::bind(int index, std::span<const std::uint8_t> blob) {
  // A zero-length blob still binds as a blob, not as NULL.
  static const std::uint8_t kEmpty = 0;
  return handle_ && blob.size() <= INT_MAX &&
         sqlite3_bind_blob(handle_.get(), index, blob.empty() ? &kEmpty : blob.data(),
                           static_cast<int>(blob.size()), SQLITE_TRANSIENT) == SQLITE_OK;
}

bool Statement::bindNull(int index) {
  return handle_ && sqlite3_bind_null(handle_.get(), index) == SQLITE_OK;
}

int Statement::step() {
  return handle_ ? sqlite3_step(handle_.get()) : SQLITE_MISUSE;
}

std::int64_t Statement::integer(int column) const {
  return sqlite3_column_int64(handle_.get(), column);
}

bool Statement::isNull(int column) const {
  return sqlite3_column_type(handle_.get(), column) == SQLITE_NULL;
}

std::string Statement::text(int column) const {
  const auto* data = sqlite3_column_text(handle_.get(), column);
  const int length = sqlite3_column_bytes(handle_.get(), column);
  if (data == nullptr || length <= 0) return {};
  return std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
}

std::vector<std::uint8_t> Statement::blob(int column) const {
  const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(handle_.get(), column));
  const int length = sqlite3_column_bytes(handle_.get(), column);
  if (data == nullptr || length <= 0) return {};
  return std::vector<std::uint8_t>(data, data + length);
}

Transaction::Transaction(Connection& connection) : connection_(connection) {
  begun_ = connection_.exec("BEGIN IMMEDIATE") == SQLITE_OK;
}

Transaction::~Transaction() {
  if (begun_ && !done_) connection_.exec("ROLLBACK");
}

bool Transaction::commit() {
  if (!begun_ || done_) return false;
  done_ = connection_.exec("COMMIT") == SQLITE_OK;
  return done_;
}

}  // namespace kestrune::ca::db
