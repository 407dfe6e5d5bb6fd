#include "Database.h"

#include <cstring>
#include <memory>

namespace velkor::gateway {
namespace {

constexpr int kBusyTimeoutMs = 10000;

}  // namespace

Statement::Statement(sqlite3* db, const char* sql) : db_(db) {
  Check(sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr));
}

Statement::~Statement() {
  sqlite3_finalize(statement_);
}

void Statement::Check(int status) const {
  if (status != SQLITE_OK && status != SQLITE_ROW && status != SQLITE_DONE) {
    throw DatabaseError(sqlite3_errmsg(db_));
  }
}

void Statement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

bool Statement::Step() {
  const int status = sqlite3_step(statement_);
  if (status == SQLITE_ROW) {
    return true;
  }
  if (status == SQLITE_DONE) {
    return false;
  }
  const std::string message = sqlite3_errmsg(db_);
  sqlite3_reset(statement_);
  throw DatabaseError(message);
}

void Statement::BindOne(int index, std::int64_t value) {
  Check(sqlite3_bind_int64(statement_, index, value));
}

void Statement::BindOne(int index, const std::string& value) {
  Check(sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT));
}

void Statement::BindOne(int index, std::span<const std::uint8_t> value) {
  Check(sqlite3_bind_blob(statement_, index,
                          value.empty() ? "" : static_cast<const void*>(value.data()),
                          static_cast<int>(value.size()), SQLITE_TRANSIENT));
}

void Statement::BindOne(int index, std::nullptr_t) {
  Check(sqlite3_bind_null(statement_, index));
}

std::int64_t Statement::Int(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::string Statement::Text(int column) const {
  const auto* text = sqlite3_column_text(statement_, column);
  return text == nullptr
             ? std::string()
             : std::string(reinterpret_cast<const char*>(text),
                           static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

std::vector<std::uint8_t> Statement::Blob(int column) const {
  const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement_, column));
  const int size = sqlite3_column_bytes(statement_, column);
  return data == nullptr ? std::vector<std::uint8_t>()
                         : std::vector<std::uint8_t>(data, data + size);
}

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

Database::Database(const std::string& path) {
  const int status =
      sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (status != SQLITE_OK) {
    const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(status);
    sqlite3_close(db_);
    db_ = nullptr;
    throw DatabaseError(message);
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  try {
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
    Exec("PRAGMA foreign_keys=ON");
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

Database::~Database() {
  cache_.clear();  // statements before the connection
  sqlite3_close(db_);
}

void Database::Exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error != nullptr ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw DatabaseError(message);
  }
}

Statement& Database::Prepare(const char* sql) {
  for (auto& [text, statement] : cache_) {
    if (text == sql || std::strcmp(text, sql) == 0) {
      return *statement;
    }
  }
  cache_.emplace_back(sql, std::make_unique<Statement>(db_, sql));
  return *cache_.back().second;
}

Transaction::Transaction(Database& db) : db_(db) {
  db_.Exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (!done_) {
    try {
      db_.Exec("ROLLBACK");
    } catch (const DatabaseError&) {
      // Nothing to undo: SQLite rolled back on its own.
    }
  }
}

void Transaction::Commit() {
  db_.Exec("COMMIT");
  done_ = true;
}

}  // namespace velkor::gateway
