// The store on PostgreSQL through libpq. Statements are written with `?` parameters, as for
// SQLite, and become server-side prepared statements with $1, $2, ... on each connection that
// runs them. Parameters go as text (numbers in decimal), blobs in binary; results come as text.
//
// A connection that breaks is dropped; the next use connects again, at most twice a second, so
// a server that is away makes each call fail at once instead of stalling the caller. Never
// within a transaction: one whose connection broke fails every further call until it ends, as
// a fresh connection would run the rest of it outside any transaction.
#include <libpq-fe.h>
#include <poll.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "Database.h"

namespace velkor::gateway {
namespace {

constexpr auto kReconnectEvery = std::chrono::milliseconds(500);
constexpr const char* kConnectTimeoutSeconds = "3";

std::string Trimmed(const char* message) {
  std::string text = message != nullptr ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text.empty() ? "PostgreSQL error" : text;
}

// `?` -> `$1`, `$2`, ... outside quoted strings and names; counts the parameters.
std::string Numbered(const char* sql, int& count) {
  std::string out;
  count = 0;
  char quote = 0;
  for (const char* p = sql; *p != '\0'; ++p) {
    if (quote != 0) {
      quote = *p == quote ? 0 : quote;
      out += *p;
    } else if (*p == '\'' || *p == '"') {
      quote = *p;
      out += *p;
    } else if (*p == '?') {
      out += '$' + std::to_string(++count);
    } else {
      out += *p;
    }
  }
  return out;
}

class PostgresDatabase;

class PgStatement final : public Statement {
 public:
  PgStatement(PostgresDatabase& db, const char* sql, std::string name)
      : db_(db), name_(std::move(name)) {
    sql_ = Numbered(sql, count_);
    values_.resize(static_cast<std::size_t>(count_));
    lengths_.resize(values_.size());
    formats_.resize(values_.size());
    isNull_.assign(values_.size(), true);
  }
  ~PgStatement() override { PQclear(result_); }

  bool Step() override;
  void Reset() override {
    PQclear(result_);
    result_ = nullptr;
    executed_ = false;
    row_ = -1;
    changes_ = 0;
    isNull_.assign(values_.size(), true);
  }
  std::int64_t Changes() const override { return changes_; }

  std::int64_t Int(int column) const override {
    return std::strtoll(PQgetvalue(result_, row_, column), nullptr, 10);
  }
  std::string Text(int column) const override {
    return std::string(PQgetvalue(result_, row_, column),
                       static_cast<std::size_t>(PQgetlength(result_, row_, column)));
  }
  std::vector<std::uint8_t> Blob(int column) const override {
    std::size_t length = 0;
    unsigned char* bytes = PQunescapeBytea(
        reinterpret_cast<const unsigned char*>(PQgetvalue(result_, row_, column)), &length);
    if (bytes == nullptr) {
      throw DatabaseError("out of memory reading a blob");
    }
    std::vector<std::uint8_t> data(bytes, bytes + length);
    PQfreemem(bytes);
    return data;
  }
  bool IsNull(int column) const override { return PQgetisnull(result_, row_, column) != 0; }

 protected:
  void BindInt(int index, std::int64_t value) override { Set(index, std::to_string(value), 0); }
  void BindText(int index, const std::string& value) override { Set(index, value, 0); }
  void BindBlob(int index, std::span<const std::uint8_t> value) override {
    Set(index, std::string(value.begin(), value.end()), 1);
  }
  void BindNull(int index) override { Slot(index); }

 private:
  friend class PostgresDatabase;

  std::size_t Slot(int index) {
    if (index < 1 || index > count_) {
      throw DatabaseError("parameter " + std::to_string(index) + " of a statement with " +
                          std::to_string(count_));
    }
    return static_cast<std::size_t>(index - 1);
  }
  void Set(int index, std::string value, int format) {
    const std::size_t slot = Slot(index);
    values_[slot] = std::move(value);
    lengths_[slot] = static_cast<int>(values_[slot].size());
    formats_[slot] = format;
    isNull_[slot] = false;
  }

  PostgresDatabase& db_;
  std::string name_;
  std::string sql_;
  int count_ = 0;
  std::vector<std::string> values_;
  std::vector<int> lengths_, formats_;
  std::vector<bool> isNull_;
  std::uint64_t preparedOn_ = 0;  // the connection it was last prepared on
  PGresult* result_ = nullptr;
  bool executed_ = false;
  int row_ = -1;
  std::int64_t changes_ = 0;
};

class PostgresDatabase final : public Database {
 public:
  explicit PostgresDatabase(std::string url) : url_(std::move(url)) { Connect(); }
  ~PostgresDatabase() override {
    cache_.clear();
    if (conn_ != nullptr) {
      PQfinish(conn_);
    }
  }

  Engine engine() const override { return Engine::kPostgres; }

  void Exec(const char* sql) override {
    Connected();
    Check(PQexec(conn_, sql));
  }

  Statement& Prepare(const char* sql) override {
    for (auto& [text, statement] : cache_) {
      if (text == sql || std::strcmp(text, sql) == 0) {
        return *statement;
      }
    }
    cache_.emplace_back(sql, std::make_unique<PgStatement>(
                                 *this, sql, "velkor_" + std::to_string(cache_.size() + 1)));
    return *cache_.back().second;
  }

  // The transaction's id comes with its BEGIN, in the same round trip: a COMMIT whose answer
  // is lost with the connection is looked up by it.
  void Begin() override {
    if (inTransaction_) {
      throw DatabaseError("a transaction is open already");
    }
    Connected();
    PGresult* result = PQexec(conn_, "BEGIN; SELECT txid_current()");
    if (PQresultStatus(result) != PGRES_TUPLES_OK || PQntuples(result) != 1 ||
        PQstatus(conn_) != CONNECTION_OK) {
      Rollback();
      Failed(result);
    }
    transactionId_ = PQgetvalue(result, 0, 0);
    PQclear(result);
    inTransaction_ = true;
  }

  void Commit() override {
    if (!inTransaction_) {
      throw DatabaseError("no transaction to commit");
    }
    Connected();
    inTransaction_ = false;  // whatever the answer, the transaction is over
    PGresult* result = PQexec(conn_, "COMMIT");
    // A COMMIT of a transaction that failed answers ROLLBACK, and is no error to libpq.
    if (PQresultStatus(result) == PGRES_COMMAND_OK && PQstatus(conn_) == CONNECTION_OK) {
      const bool committed = std::strcmp(PQcmdStatus(result), "COMMIT") == 0;
      PQclear(result);
      if (!committed) {
        throw DatabaseError("the transaction was rolled back");
      }
      return;
    }
    if (PQstatus(conn_) == CONNECTION_OK) {
      Failed(result);
    }
    // The server may have committed before the connection went: a fresh one asks it.
    const char* error = PQresultErrorMessage(result);
    const std::string message = Trimmed(error[0] != '\0' ? error : PQerrorMessage(conn_));
    PQclear(result);
    lastError_ = message;
    Dropped();
    if (!Committed(transactionId_)) {
      throw DatabaseError(message);
    }
  }

  void Rollback() override {
    inTransaction_ = false;
    // A lost connection rolled back on the server; a live one is told to.
    if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK &&
        PQtransactionStatus(conn_) != PQTRANS_IDLE) {
      PQclear(PQexec(conn_, "ROLLBACK"));
    }
  }

  void CopyIn(const char* copy, const std::string& rows) override {
    Connected();
    PGresult* start = PQexec(conn_, copy);
    if (PQresultStatus(start) != PGRES_COPY_IN) {
      Failed(start);
    }
    PQclear(start);
    if (PQputCopyData(conn_, rows.data(), static_cast<int>(rows.size())) != 1 ||
        PQputCopyEnd(conn_, nullptr) != 1) {
      Failed(nullptr);
    }
    // Every result until none: the COPY's own, and the error of a connection lost after it.
    PGresult* failed = nullptr;
    bool any = false;
    while (PGresult* result = PQgetResult(conn_)) {
      any = true;
      if (failed == nullptr && PQresultStatus(result) != PGRES_COMMAND_OK) {
        failed = result;
      } else {
        PQclear(result);
      }
    }
    if (failed != nullptr || !any || PQstatus(conn_) != CONNECTION_OK) {
      Failed(failed);
    }
  }

  void Listen(const char* channel) override {
    channels_.emplace_back(channel);
    Connected();
    Exec(("LISTEN " + std::string(channel)).c_str());
  }

  std::vector<Notification> Await(std::chrono::milliseconds wait) override {
    Connected();
    std::vector<Notification> notes = Drain();
    if (!notes.empty()) {
      return notes;
    }
    pollfd fd{PQsocket(conn_), POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(wait.count())) > 0 && PQconsumeInput(conn_) == 0) {
      const std::string message = Trimmed(PQerrorMessage(conn_));
      Dropped();
      throw DatabaseError(message);
    }
    return Drain();
  }

  std::uint64_t Connections() const override { return connections_; }

  // Runs a statement: prepares it first on a connection that has not seen it.
  PGresult* Run(PgStatement& s) {
    Connected();
    if (s.preparedOn_ != connections_) {
      Check(PQprepare(conn_, s.name_.c_str(), s.sql_.c_str(), s.count_, nullptr));
      s.preparedOn_ = connections_;
    }
    std::vector<const char*> values(s.values_.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      values[i] = s.isNull_[i] ? nullptr : s.values_[i].data();
    }
    PGresult* result = PQexecPrepared(conn_, s.name_.c_str(), s.count_, values.data(),
                                      s.lengths_.data(), s.formats_.data(), 0);
    const ExecStatusType status = PQresultStatus(result);
    if ((status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) ||
        PQstatus(conn_) != CONNECTION_OK) {
      Failed(result);
    }
    return result;
  }

 private:
  void Connect() {
    lastAttempt_ = std::chrono::steady_clock::now();
    // The URL comes last: what it says overrides the defaults before it.
    const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {kConnectTimeoutSeconds, "velkor-gateway", url_.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
      lastError_ = conn_ != nullptr ? Trimmed(PQerrorMessage(conn_)) : "out of memory";
      Dropped();
      throw DatabaseError(lastError_);
    }
    // Notices ("there is no transaction in progress" and the like) are not for the log.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    // Committed means on disk, whatever the server's default. A connection counts once it
    // listens on every channel: a listener must not take a half-made one for a new one.
    std::vector<std::string> setup = {"SET synchronous_commit = on"};
    for (const std::string& channel : channels_) {
      setup.push_back("LISTEN " + channel);
    }
    for (const std::string& sql : setup) {
      PGresult* result = PQexec(conn_, sql.c_str());
      if (PQresultStatus(result) != PGRES_COMMAND_OK || PQstatus(conn_) != CONNECTION_OK) {
        lastError_ =
            Trimmed(result != nullptr ? PQresultErrorMessage(result) : PQerrorMessage(conn_));
        PQclear(result);
        Dropped();
        throw DatabaseError(lastError_);
      }
      PQclear(result);
    }
    ++connections_;
  }

  // A usable connection, or DatabaseError at once while the server stays away. Within a
  // transaction, only the connection it began on.
  void Connected() {
    const bool usable = conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK && !Hung();
    if (inTransaction_) {
      if (!usable) {
        Dropped();
        throw DatabaseError("the connection to PostgreSQL was lost within a transaction");
      }
      if (PQtransactionStatus(conn_) == PQTRANS_IDLE) {
        throw DatabaseError("the transaction was rolled back");
      }
      return;
    }
    if (usable) {
      return;
    }
    Dropped();
    if (std::chrono::steady_clock::now() - lastAttempt_ < kReconnectEvery) {
      throw DatabaseError("no connection to PostgreSQL: " + lastError_);
    }
    Connect();
  }

  // Whether the server closed the connection while it was idle (a restart, a shutdown): noticed
  // before a statement is sent, rather than by the statement failing.
  bool Hung() const {
    pollfd fd{PQsocket(conn_), POLLRDHUP, 0};
    return poll(&fd, 1, 0) > 0 && (fd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  }

  void Dropped() {
    if (conn_ != nullptr) {
      PQfinish(conn_);
      conn_ = nullptr;
    }
  }

  void Check(PGresult* result) {
    const ExecStatusType status = PQresultStatus(result);
    if ((status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) ||
        PQstatus(conn_) != CONNECTION_OK) {
      Failed(result);
    }
    PQclear(result);
  }

  // Throws the result's error, or the connection's when the result has none (an answer that
  // came before the connection broke).
  [[noreturn]] void Failed(PGresult* result) {
    const char* error = result != nullptr ? PQresultErrorMessage(result) : "";
    std::string message = Trimmed(error[0] != '\0' ? error : PQerrorMessage(conn_));
    PQclear(result);
    if (PQstatus(conn_) != CONNECTION_OK) {
      lastError_ = message;
      Dropped();
    }
    throw DatabaseError(message);
  }

  // Whether the transaction of a COMMIT whose answer was lost committed, on a connection made
  // for the question at once. One whose backend still runs is waited for, 2 s at most.
  bool Committed(const std::string& id) {
    try {
      Connect();
      for (int i = 0; i < 100; ++i) {
        const char* values[] = {id.c_str()};
        PGresult* result = PQexecParams(conn_, "SELECT txid_status($1::bigint)", 1, nullptr, values,
                                        nullptr, nullptr, 0);
        const bool ok = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1;
        const std::string status = ok ? PQgetvalue(result, 0, 0) : "";
        PQclear(result);
        if (status != "in progress") {
          return status == "committed";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    } catch (const DatabaseError&) {
    }
    return false;
  }

  std::vector<Notification> Drain() {
    std::vector<Notification> notes;
    while (PGnotify* note = PQnotifies(conn_)) {
      notes.push_back({note->relname, note->extra != nullptr ? note->extra : ""});
      PQfreemem(note);
    }
    return notes;
  }

  std::string url_;
  PGconn* conn_ = nullptr;
  bool inTransaction_ = false;  // from Begin() until Commit() or Rollback()
  std::string transactionId_;   // of the open transaction
  std::uint64_t connections_ = 0;
  std::chrono::steady_clock::time_point lastAttempt_{};
  std::string lastError_ = "not connected";
  std::vector<std::string> channels_;
  std::vector<std::pair<const char*, std::unique_ptr<PgStatement>>> cache_;
};

bool PgStatement::Step() {
  if (!executed_) {
    PQclear(result_);
    result_ = nullptr;
    result_ = db_.Run(*this);
    executed_ = true;
    row_ = -1;
    const char* tuples = PQcmdTuples(result_);
    changes_ = tuples[0] != '\0' ? std::strtoll(tuples, nullptr, 10) : 0;
  }
  ++row_;
  return row_ < PQntuples(result_);
}

}  // namespace

std::unique_ptr<Database> OpenPostgres(const std::string& url) {
  return std::make_unique<PostgresDatabase>(url);
}

}  // namespace velkor::gateway
