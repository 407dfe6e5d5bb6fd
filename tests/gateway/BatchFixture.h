// The link thread's batches in process: a Gateway on a scratch SQLite store, fed datagrams that
// a simulated device sealed, with the device met once (admitted from 127.0.0.1).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <filesystem>
#include <memory>
#include <string>

#include "DeviceCodec.h"
#include "Gateway.h"
#include "Rng.h"
#include "Simulator.h"
#include "Store.h"

namespace velkor::gateway {

inline Datagram From(const sim::Bytes& plain, const char* address = "127.0.0.1",
                     std::uint16_t port = 40000) {
  sim::Bytes sealed = plain;
  sim::SealDevicePacket(sealed);
  Datagram d;
  std::copy(sealed.begin(), sealed.end(), d.buffer.begin());
  d.length = static_cast<std::uint32_t>(sealed.size());
  auto& from = reinterpret_cast<sockaddr_in&>(d.from);
  from.sin_family = AF_INET;
  from.sin_port = htons(port);
  inet_pton(AF_INET, address, &from.sin_addr);
  d.fromLength = sizeof from;
  return d;
}

// Removes a SQLite store and its journal files.
inline void RemoveStore(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::filesystem::remove(path + suffix);
  }
}

// A new, migrated SQLite store at path, whatever a previous run left there.
inline std::unique_ptr<Database> FreshStore(const std::string& path) {
  RemoveStore(path);
  auto db = Database::Open(path);
  Migrate(*db);
  return db;
}

class BatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = FreshStore(path_);
    gateway_ = std::make_unique<Gateway>(hub_, *db_, PolicyOptions{Admit::kAny, 0});
    sim::Rng rng(17);
    device_ = sim::MakeDevice(rng, 0);
    std::vector<Datagram> hello{From(sim::PollPacket(device_))};
    gateway_->Handle(hello);  // first contact: the clock, and the device row written
    ASSERT_GT(hello[0].reply, 0);
  }
  void TearDown() override {
    gateway_.reset();
    db_.reset();
    RemoveStore(path_);
  }

  std::int64_t Count(const char* sql) {
    Statement& count = db_->Prepare(sql);
    count.Bind();
    count.Step();
    const std::int64_t n = count.Int(0);
    count.Reset();
    return n;
  }
  std::int64_t StoredEvents() { return Count("SELECT COUNT(*) FROM events"); }

  const std::string path_ = ::testing::TempDir() + "/velkor-batch-" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".db";
  Hub hub_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<Gateway> gateway_;
  sim::DeviceState device_;
};

}  // namespace velkor::gateway
