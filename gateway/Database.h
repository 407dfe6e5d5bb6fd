// A thin RAII layer over SQLite's C interface: a connection, prepared statements, and errors
// as exceptions that carry SQLite's own message. The SQL itself lives in Store.cpp.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace velkor::gateway {

struct DatabaseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Statement {
 public:
  Statement(sqlite3* db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Binds parameters 1, 2, ... in order; resets the statement first.
  template <typename... Values>
  Statement& Bind(const Values&... values) {
    Reset();
    int index = 1;
    (BindOne(index++, values), ...);
    return *this;
  }

  bool Step();  // true while a row is there
  void Run() {
    while (Step()) {
    }
  }
  void Reset();

  std::int64_t Int(int column) const;
  std::string Text(int column) const;
  std::vector<std::uint8_t> Blob(int column) const;
  bool IsNull(int column) const;

 private:
  void BindOne(int index, std::int64_t value);
  void BindOne(int index, int value) { BindOne(index, static_cast<std::int64_t>(value)); }
  void BindOne(int index, unsigned value) { BindOne(index, static_cast<std::int64_t>(value)); }
  void BindOne(int index, std::uint64_t value) { BindOne(index, static_cast<std::int64_t>(value)); }
  void BindOne(int index, const std::string& value);
  void BindOne(int index, const char* value) { BindOne(index, std::string(value)); }
  void BindOne(int index, std::span<const std::uint8_t> value);
  void BindOne(int index, const std::vector<std::uint8_t>& value) {
    BindOne(index, std::span<const std::uint8_t>(value));
  }
  void BindOne(int index, std::nullptr_t);
  template <typename T>
  void BindOne(int index, const std::optional<T>& value) {
    if (value) {
      BindOne(index, *value);
    } else {
      BindOne(index, nullptr);
    }
  }
  void Check(int status) const;

  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

class Database {
 public:
  // Opens (creating it when missing) the file in WAL mode with synchronous=FULL and a busy
  // timeout, so that two connections of one process take turns instead of failing.
  explicit Database(const std::string& path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void Exec(const char* sql);
  Statement& Prepare(const char* sql);  // cached by text for the connection's life
  std::int64_t LastId() const { return sqlite3_last_insert_rowid(db_); }
  sqlite3* handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
  std::vector<std::pair<const char*, std::unique_ptr<Statement>>> cache_;
};

// BEGIN IMMEDIATE ... COMMIT; rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  Database& db_;
  bool done_ = false;
};

}  // namespace velkor::gateway
