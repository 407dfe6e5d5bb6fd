// What the store thread's SQLite work costs an event report of 8 records, in commits of 64
// reports from 1,000 devices, as the store thread groups them, with synchronous=OFF: SQLite's own
// work alone, since the fsync is the durable floor's as well. Three shapes of the same writes:
//   Stored:         as stored: the report's row of records with its digest (the table and its
//                   by-device index);
//   StoredNoIndex:  the same without the by-device index, what that index costs;
//   DigestTable:    the rows, and each digest in `reports` too, as before the rows kept them
//                   (PostgreSQL's gateways still note them there for each other).
// Each case runs 1,000 commits (64,000 reports) on a new store, so that each meets the same size
// of tables.
// Items are reports.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "Database.h"
#include "Store.h"

namespace {

using velkor::gateway::Database;
using velkor::gateway::EventRows;
using velkor::gateway::Transaction;

constexpr int kReportsPerCommit = 64;
constexpr int kRecords = 8;
constexpr std::uint64_t kDevices = 1000;

enum class Shape { kStored, kStoredNoIndex, kDigestTable };

struct Store {
  explicit Store(Shape shape)
      : path((std::filesystem::temp_directory_path() / "velkor-store-bench.db").string()) {
    Remove();
    db = Database::Open(path);
    velkor::gateway::Migrate(*db);
    db->Exec("PRAGMA synchronous=OFF");
    db->Exec("PRAGMA cache_size=-65536");  // the link's connection's
    if (shape == Shape::kStoredNoIndex) {
      db->Exec("DROP INDEX event_reports_by_device");
    }
  }
  ~Store() {
    db.reset();
    Remove();
  }
  void Remove() const {
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::filesystem::remove(path + suffix);
    }
  }
  std::string path;
  std::unique_ptr<Database> db;
};

void Reports(benchmark::State& state, Shape shape) {
  Store store(shape);
  Database& db = *store.db;
  EventRows rows;
  std::uint64_t n = 0;
  std::array<std::uint8_t, 16 * kRecords> raw{};
  EventRecord record{};
  for (auto _ : state) {
    Transaction transaction(db);
    for (int r = 0; r < kReportsPerCommit; ++r, ++n) {
      const std::uint64_t serial = 0x10000000000000 + n % kDevices;
      const std::int64_t ms = 1'800'000'000'000 + static_cast<std::int64_t>(n);
      std::array<std::uint8_t, 32> digest{};  // distinct, and spread over the key space
      for (std::size_t i = 0; i < digest.size(); ++i) {
        digest[i] = static_cast<std::uint8_t>((n * 0x9E3779B97F4A7C15ULL) >> (i % 8 * 8));
      }
      digest[31] = static_cast<std::uint8_t>(n);
      digest[30] = static_cast<std::uint8_t>(n >> 8);
      digest[29] = static_cast<std::uint8_t>(n >> 16);
      if (shape == Shape::kDigestTable) {
        velkor::gateway::InsertReport(db, serial, digest, ms);
      }
      raw[0] = static_cast<std::uint8_t>(n);
      for (int e = 0; e < kRecords; ++e) {
        record.cardNumber = static_cast<std::int64_t>(n * kRecords + e);
        rows.Add(db, serial, ms, record, raw.data() + 16 * e,
                 std::span<const std::uint8_t>(digest).first(16));
      }
    }
    rows.Flush(db);
    transaction.Commit();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(n));
}

BENCHMARK_CAPTURE(Reports, Stored, Shape::kStored)->Iterations(1000);
BENCHMARK_CAPTURE(Reports, StoredNoIndex, Shape::kStoredNoIndex)->Iterations(1000);
BENCHMARK_CAPTURE(Reports, DigestTable, Shape::kDigestTable)->Iterations(1000);

}  // namespace
