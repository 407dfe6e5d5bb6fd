// The durable floor in process: each batch's event reports are in the file, as they came off the
// wire, by the time Handle returns (the replies go only after it), a poll gets its echo, and a
// file that cannot take the reports leaves them unanswered.
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "BatchFixture.h"
#include "DurableFloor.h"

namespace velkor::gateway {
namespace {

constexpr auto kEchoLength =
    static_cast<std::int32_t>(sim::kHeadLength);  // a current device's echo

sim::Bytes Wire(const Datagram& d) {
  return sim::Bytes(d.buffer.begin(), d.buffer.begin() + d.length);
}

sim::Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return sim::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(DurableFloorTest, ReportsAreInTheFileBeforeTheirEchoesAndUnansweredWhenItFails) {
  sim::Rng rng(5);
  const sim::DeviceState device = sim::MakeDevice(rng, 0);
  const std::string fresh = ::testing::TempDir() + "/velkor-floor-fresh.bin";
  const std::string used = ::testing::TempDir() + "/velkor-floor-used.bin";
  std::filesystem::remove(fresh);
  std::ofstream(used, std::ios::binary | std::ios::trunc) << "kept";
  const struct {
    std::string path;
    std::string before;  // what the file held already
    bool stores;
  } cases[] = {{fresh, "", true}, {used, "kept", true}, {"/dev/full", "", false}};

  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    DurableFloor floor(c.path);
    sim::Bytes expected(c.before.begin(), c.before.end());
    ::testing::internal::CaptureStderr();
    for (std::uint64_t round = 0; round < 2; ++round) {
      Datagram spoiled = From(sim::EventPacket(device, {sim::MakeEvent(rng, false, 9)}));
      spoiled.buffer[12] ^= 0x40;  // the sealed block no longer opens
      Datagram oversized = From(sim::EventPacket(device, {sim::MakeEvent(rng, false, 8)}));
      oversized.oversized = true;
      std::vector<Datagram> batch{
          From(sim::PollPacket(device)),
          From(sim::EventPacket(device, {sim::MakeEvent(rng, false, 2 * round + 1)})), spoiled,
          oversized,
          From(sim::EventPacket(device, {sim::MakeEvent(rng, false, 2 * round + 2),
                                         sim::MakeEvent(rng, false, 2 * round + 3)}))};
      for (const std::size_t report : {1u, 4u}) {
        const sim::Bytes wire = Wire(batch[report]);
        expected.insert(expected.end(), wire.begin(), wire.end());
      }
      floor.Handle(batch);
      EXPECT_EQ(batch[0].reply, kEchoLength) << "a poll is echoed whatever the file";
      EXPECT_EQ(batch[2].reply, 0);
      EXPECT_EQ(batch[3].reply, 0);
      for (const std::size_t report : {1u, 4u}) {
        EXPECT_EQ(batch[report].reply, c.stores ? kEchoLength : 0) << "report " << report;
        EXPECT_EQ(batch[report].buffer[0], 0x00) << "the reply is an echo";
      }
      if (c.stores) {
        EXPECT_EQ(FileBytes(c.path), expected) << "round " << round;
      }
    }
    const std::string said = ::testing::internal::GetCapturedStderr();
    if (c.stores) {
      EXPECT_EQ(said, "");
    } else {
      const std::size_t at = said.find("--durable-floor /dev/full: write: ");
      ASSERT_NE(at, std::string::npos) << said;
      EXPECT_EQ(said.find("--durable-floor", at + 1), std::string::npos) << "said once: " << said;
    }
  }
  struct stat made {};
  ASSERT_EQ(stat(fresh.c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 0777, 0600u);
  EXPECT_THROW(DurableFloor(::testing::TempDir() + "/no-such-folder/floor.bin"),
               std::runtime_error);
  std::filesystem::remove(fresh);
  std::filesystem::remove(used);
}

}  // namespace
}  // namespace velkor::gateway
