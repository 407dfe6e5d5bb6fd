// A thin RAII layer over the two stores the gateway runs on: SQLite's C interface for a file of
// its own, and libpq for a PostgreSQL database that several gateways may share. Connections,
// prepared statements, and errors as exceptions that carry the engine's own message. The SQL
// itself lives in Store.cpp, written once with `?` parameters for both engines.
#pragma once

#include <chrono>
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

enum class Engine { kSqlite, kPostgres };

class Statement {
 public:
  virtual ~Statement() = default;

  // Binds parameters 1, 2, ... in order; resets the statement first.
  template <typename... Values>
  Statement& Bind(const Values&... values) {
    Reset();
    int index = 1;
    (BindOne(index++, values), ...);
    return *this;
  }

  // Binds parameters first, first + 1, ... in order, leaving the others as they are: rows of a
  // multi-row insert, after a Reset().
  template <typename... Values>
  Statement& BindAt(int first, const Values&... values) {
    int index = first;
    (BindOne(index++, values), ...);
    return *this;
  }

  virtual bool Step() = 0;  // true while a row is there
  // The first row's first column with `values` bound, nullopt for no row; reset after.
  template <typename... Values>
  std::optional<std::int64_t> FirstInt(const Values&... values) {
    Bind(values...);
    const std::optional<std::int64_t> value = Step() ? std::optional(Int(0)) : std::nullopt;
    Reset();
    return value;
  }
  void Run() {
    while (Step()) {
    }
  }
  virtual void Reset() = 0;
  virtual std::int64_t Changes() const = 0;  // rows the last Run inserted, changed or deleted

  virtual std::int64_t Int(int column) const = 0;
  virtual std::string Text(int column) const = 0;
  virtual std::vector<std::uint8_t> Blob(int column) const = 0;
  virtual bool IsNull(int column) const = 0;

 protected:
  virtual void BindInt(int index, std::int64_t value) = 0;
  virtual void BindText(int index, const std::string& value) = 0;
  virtual void BindBlob(int index, std::span<const std::uint8_t> value) = 0;
  virtual void BindNull(int index) = 0;

 private:
  void BindOne(int index, std::int64_t value) { BindInt(index, value); }
  void BindOne(int index, int value) { BindInt(index, value); }
  void BindOne(int index, unsigned value) { BindInt(index, value); }
  void BindOne(int index, std::uint64_t value) { BindInt(index, static_cast<std::int64_t>(value)); }
  void BindOne(int index, const std::string& value) { BindText(index, value); }
  void BindOne(int index, const char* value) { BindText(index, value); }
  void BindOne(int index, std::span<const std::uint8_t> value) { BindBlob(index, value); }
  void BindOne(int index, const std::vector<std::uint8_t>& value) {
    BindBlob(index, std::span<const std::uint8_t>(value));
  }
  void BindOne(int index, std::nullptr_t) { BindNull(index); }
  template <typename T>
  void BindOne(int index, const std::optional<T>& value) {
    if (value) {
      BindOne(index, *value);
    } else {
      BindNull(index);
    }
  }
};

// A notification another connection sent with pg_notify: its channel and payload.
struct Notification {
  std::string channel;
  std::string payload;
};

class Database {
 public:
  virtual ~Database() = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // "postgresql://..." or "postgres://..." (a libpq connection URL) opens PostgreSQL; anything
  // else is the path of a SQLite file, created when missing (WAL, synchronous=FULL).
  static std::unique_ptr<Database> Open(const std::string& location);
  static bool IsPostgresUrl(const std::string& location);
  // The location as it may be printed: a URL's password replaced by "***".
  static std::string Redacted(const std::string& location);

  virtual Engine engine() const = 0;
  virtual void Exec(const char* sql) = 0;
  // Cached for the connection's life, found again by the text's address first: `sql` must be
  // a literal, or text that outlives the connection (a static string), never a temporary's.
  virtual Statement& Prepare(const char* sql) = 0;
  virtual void Begin() = 0;  // a write transaction: it holds the write lock from its start
  // Ends the transaction Begin() opened. Commit throws DatabaseError unless the engine says the
  // transaction committed; either way the transaction is over. Rollback never throws.
  virtual void Commit() = 0;
  virtual void Rollback() = 0;

  // PostgreSQL only: COPY ... FROM STDIN of `rows` in COPY's text format, one round trip for
  // many rows. SQLite throws DatabaseError.
  virtual void CopyIn(const char* copy, const std::string& rows) = 0;

  // PostgreSQL only: LISTEN on `channel` (again after every reconnection), and the
  // notifications that arrive within `wait`. A lost connection throws DatabaseError.
  virtual void Listen(const char* channel) = 0;
  virtual std::vector<Notification> Await(std::chrono::milliseconds wait) = 0;
  // Connections made so far: a listener that sees it grow has missed what came meanwhile.
  virtual std::uint64_t Connections() const = 0;

  // SQLite: turns this connection's automatic checkpoint off and counts the WAL's frames, which
  // WalFrames() then gives as of the connection's last commit. Elsewhere both do nothing.
  virtual void WatchWal() {}
  virtual std::int64_t WalFrames() const { return 0; }

 protected:
  Database() = default;
};

// Begin() ... Commit(); rolls back unless committed. A transaction that ends underneath (a lost
// connection, an engine that rolled back by itself) makes every further statement of it throw:
// none of them runs outside the transaction, and Commit() throws.
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
