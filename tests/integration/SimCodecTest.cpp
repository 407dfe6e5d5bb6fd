// The simulator's device codec against the link library, each written from the wire format
// on its own: device packets must read back through the Get functions as the device meant
// them, and the device's checks must refuse replies that break the wire format.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <map>

#include "DeviceCodec.h"
#include "DeviceSeal.h"
#include "Simulator.h"
#include "WireBytes.h"
#include "velkorlink.h"

namespace velkor::test {
namespace {

using sim::Bytes;

// A device packet sealed and passed to PreparePackage, in a host-sized buffer.
struct Received {
  explicit Received(const Bytes& plain) : length(static_cast<std::uint32_t>(plain.size())) {
    Bytes wire = plain;
    sim::SealDevicePacket(wire);
    std::memcpy(buffer, wire.data(), wire.size());
    code = PreparePackage(buffer, length);
  }
  Bytes Reply(std::int32_t replyLength) const { return Bytes(buffer, buffer + replyLength); }

  std::uint8_t buffer[2048] = {};
  std::uint32_t length;
  std::int32_t code = 0;
};

sim::DeviceState Device(std::uint64_t seed, bool legacy) {
  sim::Rng rng(seed);
  return sim::MakeDevice(rng, legacy ? 1 : 0);
}

sim::ReplyCheck Check(const Bytes& request, const Bytes& reply) {
  return sim::CheckReply(request, reply, {nullptr, std::time(nullptr)});
}

TEST(DevicePackets, ConfigurationAndFirmwareReadAsTheDeviceSentThem) {
  for (bool legacy : {false, true}) {
    SCOPED_TRACE(legacy);
    const sim::DeviceState device = Device(7, legacy);
    for (std::uint8_t command : {sim::code::kConfiguration, sim::code::kFirmware}) {
      const Received packet(sim::ConfigPacket(device, command));
      ASSERT_EQ(packet.code, command);
      EXPECT_EQ(GetDeviceType(packet.buffer), device.type);
      EXPECT_EQ(GetDeviceIdent(packet.buffer), device.serial);
      const std::uint8_t* record = ReadNetConfigration();
      EXPECT_EQ(record[39], 0) << "captured";
      EXPECT_EQ(record[0], device.config.lead);
      EXPECT_EQ(record[5] | record[6] << 8, device.config.firstWord);
      EXPECT_EQ(record[7] | record[8] << 8, device.config.secondWord);
      EXPECT_EQ(0, std::memcmp(record + 9, device.config.block30.data(), 30));
      EXPECT_EQ(0, std::memcmp(record + 40, device.config.block20.data(), 20));
    }
    const Received firmware(sim::ConfigPacket(device, sim::code::kFirmware));
    const int expected =
        legacy ? sim::FromBcd(device.legacyFirmware) * 100 : std::stoi(device.currentFirmware);
    EXPECT_EQ(GetFirmwareVersion(firmware.buffer), expected);
  }
}

TEST(DevicePackets, RecordListsReadBackAsTheDeviceHoldsThem) {
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE(seed);
    const sim::DeviceState device = Device(seed, seed % 2 == 0);

    const Received cards(sim::CardListPacket(device));
    CardRecord hostCards[16];
    ASSERT_EQ(GetCards(cards.buffer, cards.length, hostCards),
              static_cast<int>(device.cards.size()));
    for (std::size_t i = 0; i < device.cards.size(); ++i) {
      const sim::Card& card = device.cards[i];
      EXPECT_EQ(static_cast<std::uint64_t>(hostCards[i].cardNumber), card.number);
      EXPECT_EQ(hostCards[i].password, card.password);
      EXPECT_EQ(+hostCards[i].year, card.year);
      EXPECT_EQ(hostCards[i].hour, card.hour);
      EXPECT_EQ(hostCards[i].param, card.param);
      EXPECT_EQ(hostCards[i].flag7, card.flags >> 7);
      EXPECT_EQ(hostCards[i].flag6, (card.flags >> 6) & 1);
      EXPECT_EQ(hostCards[i].flag0, card.flags & 1);
    }

    const Received groups(sim::GroupListPacket(device));
    MultiCardGroup hostGroups[32];
    ASSERT_EQ(GetMultiCards(groups.buffer, groups.length, hostGroups),
              static_cast<int>(device.groups.size()));
    for (std::size_t i = 0; i < device.groups.size(); ++i) {
      const sim::Group& group = device.groups[i];
      EXPECT_EQ(hostGroups[i].groupNumber, group.number);
      EXPECT_EQ(hostGroups[i].enabled, group.enabled);
      EXPECT_EQ(hostGroups[i].flag4, (group.flags >> 4) & 1);
      for (std::size_t slot = 0; slot < 5; ++slot) {
        const std::int64_t expected =
            slot < group.cards.size() ? static_cast<std::int64_t>(group.cards[slot]) : -1;
        EXPECT_EQ(+hostGroups[i].cardNumbers[slot], expected);
      }
    }

    const Received schedules(sim::ScheduleListPacket(device));
    WorkTimeSchedule hostSchedules[16];
    ASSERT_EQ(GetWorkTime(schedules.buffer, schedules.length, hostSchedules),
              static_cast<int>(device.schedules.size()));
    for (std::size_t i = 0; i < device.schedules.size(); ++i) {
      EXPECT_EQ(hostSchedules[i].param0, device.schedules[i].param0);
      for (std::size_t j = 0; j < 6; ++j) {
        const auto& period = device.schedules[i].periods[j];
        const WorkTimePeriod& host = hostSchedules[i].periods[j];
        EXPECT_EQ(host.startHour, period ? period->startHour : 255);
        EXPECT_EQ(host.endMinute, period ? period->endMinute : 255);
      }
    }
  }
}

TEST(DevicePackets, EventRecordsDecodeAsBuilt) {
  sim::Rng rng(99);
  for (int packetIndex = 0; packetIndex < 200; ++packetIndex) {
    const bool legacy = packetIndex % 2 == 1;
    const sim::DeviceState device = Device(static_cast<std::uint64_t>(packetIndex), legacy);
    std::vector<sim::Event> events;
    for (unsigned i = 1 + rng.Below(5); i > 0; --i) {
      events.push_back(sim::MakeEvent(rng, legacy, rng.Next() & 0xFFFFFFFFFFFFull));
    }
    Received packet(sim::EventPacket(device, events));
    ASSERT_EQ(packet.code, sim::code::kEventReport);
    for (std::size_t k = events.size(); k-- > 0;) {  // the last record comes first
      SCOPED_TRACE(sim::DescribeEvent(events[k], legacy));
      const auto& b = events[k].bytes;
      EventRecord record{};
      ASSERT_TRUE(GetEvents(packet.buffer, &record));
      EXPECT_EQ(record.kind, legacy ? b[0] >> 4 : b[0]);
      if (record.kind == 0 || record.kind == 3) {
        EXPECT_EQ(+record.number, sim::GetBigEndian(&b[1], 6));
        EXPECT_EQ(record.code, b[7]);
        const int group = b[7] >> 4;
        if (!legacy && group == 8) {
          EXPECT_EQ(static_cast<std::uint64_t>(record.cardNumber), sim::GetBigEndian(&b[9], 5));
        }
        if (!legacy && group == 9) {
          EXPECT_EQ(record.digits, sim::UnpackDigits(&b[9]));
        }
      } else if (record.kind == 4) {
        EXPECT_EQ(+record.number, sim::GetBigEndian(&b[1], 2));
      } else if (record.kind == 1) {
        EXPECT_EQ(record.code, b[1]);
        EXPECT_EQ(+record.value7, b[3] <= 10 ? b[3] : -1);
      } else if (record.kind == 2) {
        EXPECT_EQ(+record.value1, sim::FromBcd(b[1]));
      }
    }
    EventRecord done{};
    EXPECT_FALSE(GetEvents(packet.buffer, &done));
  }
}

TEST(DevicePackets, FingerprintVoiceAndModePackets) {
  const sim::DeviceState current = Device(3, false);
  sim::Template data;
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i * 7);
  }
  FingerDataRecord record{};
  const Received upload(sim::FingerUploadPacket(current, 6, data));
  GetFingerData(upload.buffer, &record);
  EXPECT_EQ(record.leadByte, 6);
  EXPECT_EQ(record.lowBits, 2);
  EXPECT_EQ(0, std::memcmp(record.templateData, data.data(), data.size()));

  const Received request(sim::FingerRequestPacket(current, 5, 12345));
  GetFingerData(request.buffer, &record);
  EXPECT_EQ(record.leadByte, 5);
  EXPECT_EQ(+record.number, 12345u);
  EXPECT_EQ(record.lowNibble, 5);

  const sim::DeviceState legacy = Device(3, true);
  Received voice(sim::VoiceRequestPacket(legacy, 0x0102, 3));
  ASSERT_EQ(voice.code, sim::code::kVoiceRequest);
  const auto* sound = reinterpret_cast<const std::uint8_t*>(GetSoundBuffer(voice.buffer));
  EXPECT_EQ(sound[0] | sound[1] << 8, 3);       // data count
  EXPECT_EQ(sound[2] | sound[3] << 8, 0x0102);  // request word

  ModeBlock block{};
  const Received mode(
      sim::ModeReportPacket(current, sim::code::kReaderModeReport, current.readerMode));
  ASSERT_TRUE(GetReaderMoton(mode.buffer, &block));
  EXPECT_EQ(0, std::memcmp(block.settings, current.readerMode.data(), 5));
}

// A device expects its own last upload back for a slot it uploaded, anything for another.
TEST(ReplyCheck, TemplateRepliesAreCheckedAgainstTheDevicesOwnUploads) {
  const sim::DeviceState device = Device(4, false);
  sim::Template mine{};
  mine.fill(0x3C);
  FingerDataRecord other{};
  other.leadByte = 2;
  std::memset(other.templateData, 0x77, sizeof other.templateData);
  const std::map<std::uint8_t, sim::Template> uploaded = {{2, mine}};

  auto reply = [&](std::uint8_t slot, const FingerDataRecord& data) {
    const Bytes request = sim::FingerRequestPacket(device, slot, 99);
    Received received(request);
    const Bytes bytes = received.Reply(SendFingerData(received.buffer, &data));
    return sim::CheckReply(request, bytes, {&uploaded, std::time(nullptr)});
  };
  FingerDataRecord same = other;
  std::memcpy(same.templateData, mine.data(), mine.size());
  EXPECT_TRUE(reply(2, same).ok);
  const sim::ReplyCheck wrong = reply(2, other);
  EXPECT_FALSE(wrong.ok);
  EXPECT_NE(wrong.problem.find("last uploaded"), std::string::npos) << wrong.problem;
  EXPECT_TRUE(reply(5, other).ok) << "a slot this device never uploaded";
  EXPECT_TRUE(reply(5, FingerDataRecord{}).ok) << "the host has none";
}

// A valid reply and one byte of it changed: the device's checks must catch each change.
struct Mutation {
  const char* what;
  std::size_t at;
  std::uint8_t value;
};

void ExpectRefused(const Bytes& request, Bytes reply, const Mutation& mutation) {
  SCOPED_TRACE(mutation.what);
  ASSERT_TRUE(Check(request, reply).ok) << Check(request, reply).problem;
  reply[mutation.at] = mutation.value;
  EXPECT_FALSE(Check(request, reply).ok);
}

// A reply whose plain block byte `at` (a packet index, 10..23) is changed and which is then
// sealed again as a host seals, so that only the changed content can give it away.
Bytes WithBlockByte(Bytes reply, std::size_t at, std::uint8_t value) {
  devicekit::Block plain{};
  EXPECT_TRUE(devicekit::OpenReply(reply.data(), plain));
  std::uint8_t scratch[128] = {};
  std::copy(plain.begin(), plain.end(), scratch + 10);
  scratch[at] = value;
  SendDeviceReadCommand(scratch);  // seals bytes 10..25 under the outgoing key
  std::copy(scratch + 10, scratch + 26, reply.begin() + 10);
  return reply;
}

TEST(ReplyCheck, RefusesRepliesThatBreakTheWireFormat) {
  const sim::DeviceState current = Device(11, false);
  const Bytes poll = sim::PollPacket(current);

  Received echo(poll);
  const Bytes echoReply = echo.Reply(SendDeviceEcho(echo.buffer));
  ExpectRefused(poll, echoReply, {"serial changed", 5, 0x77});
  ExpectRefused(poll, echoReply, {"unknown command code", 0, 0x42});
  ExpectRefused(poll, echoReply,
                {"a cipher block bit", 21, static_cast<std::uint8_t>(echoReply[21] ^ 1)});
  devicekit::Block sent{};
  ASSERT_TRUE(devicekit::OpenReply(echoReply.data(), sent));
  EXPECT_TRUE(Check(poll, WithBlockByte(echoReply, 20, sent[10])).ok) << "resealed as it was";
  EXPECT_FALSE(Check(poll, WithBlockByte(echoReply, 19, 0xEE)).ok) << "answers another packet";
  EXPECT_FALSE(Check(poll, WithBlockByte(echoReply, 12, 0x55)).ok) << "block copy of the serial";

  // The same reply sealed under the device's own key does not open.
  Bytes wrongKey = echoReply;
  devicekit::Block plain{};
  ASSERT_TRUE(devicekit::OpenReply(wrongKey.data(), plain));
  std::copy(plain.begin(), plain.end(), wrongKey.begin() + 10);
  devicekit::EncryptBlockAsDevice(wrongKey.data());
  EXPECT_FALSE(Check(poll, wrongKey).ok);

  CardRecord card{};
  card.cardNumber = 77;
  Received cards(poll);
  const Bytes cardReply = cards.Reply(SendCards(cards.buffer, 1, &card));
  ExpectRefused(poll, cardReply, {"card date not packed decimal", 26 + 10, 0x1A});
  ExpectRefused(poll, cardReply, {"card flag bit 5", 26 + 14, 0x20});
  ExpectRefused(poll, cardReply, {"password digit after the fill", 26 + 6, 0xF1});
  Bytes cut = cardReply;
  cut.pop_back();
  EXPECT_FALSE(Check(poll, cut).ok) << "partial card record";

  Received control(poll);
  const Bytes controlReply = control.Reply(SendControl(control.buffer, 5, 1, 2, 3));
  ExpectRefused(poll, controlReply, {"command fill byte", 40, 0x00});
  ExpectRefused(poll, controlReply, {"command byte 26", 26, 0x02});

  Received template_(poll);
  const FingerDataRecord finger{};
  template_.buffer[0] = sim::code::kFingerRequest;  // a reply to a poll is no template
  const Bytes templateReply = template_.Reply(SendFingerData(template_.buffer, &finger));
  EXPECT_FALSE(Check(poll, templateReply).ok);
}

TEST(ReplyCheck, LegacyFramesRepeatTheConfigurationAndSumTheirBytes) {
  const sim::DeviceState legacy = Device(12, true);
  const Bytes config = sim::ConfigPacket(legacy, sim::code::kConfiguration);
  Received output(config);
  const Bytes reply = output.Reply(SendExOutput(output.buffer, 9));
  const sim::ReplyCheck check = Check(config, reply);
  ASSERT_TRUE(check.ok) << check.problem;
  EXPECT_EQ(check.reply.kind, sim::ReplyKind::kExtraOutput);
  EXPECT_EQ(check.reply.extraOutput, 9);
  ExpectRefused(config, reply, {"frame sum", 99, static_cast<std::uint8_t>(reply[99] + 1)});
  ExpectRefused(config, reply, {"frame end", 101, 0xA4});
  ExpectRefused(
      config, reply,
      {"configuration repeated wrongly", 40, static_cast<std::uint8_t>(reply[40] ^ 0xFF)});

  // After a packet without configuration the frame repeats an empty one.
  const Bytes poll = sim::PollPacket(legacy);
  Received empty(poll);
  EXPECT_TRUE(Check(poll, empty.Reply(SendExOutput(empty.buffer, 9))).ok);
  Received echo(sim::ConfigPacket(legacy, sim::code::kModulePacket));
  const Bytes moduleEcho = echo.Reply(SendDeviceEcho(echo.buffer));
  EXPECT_EQ(moduleEcho[0], sim::code::kControl);
  EXPECT_TRUE(Check(sim::ConfigPacket(legacy, sim::code::kModulePacket), moduleEcho).ok);
}

TEST(ReplyCheck, ClockSettingsMustBeRealDatesNearTheLocalTime) {
  for (bool isLegacy : {false, true}) {
    SCOPED_TRACE(isLegacy);
    const sim::DeviceState device = Device(13, isLegacy);
    const Bytes poll = sim::PollPacket(device);
    Received clock(poll);
    const Bytes reply = clock.Reply(SendTimer(clock.buffer));
    const sim::ReplyCheck check = Check(poll, reply);
    ASSERT_TRUE(check.ok) << check.problem;
    EXPECT_EQ(check.reply.kind, sim::ReplyKind::kClock);
    // An hour later than the device's clock is too far.
    EXPECT_FALSE(sim::CheckReply(poll, reply, {nullptr, std::time(nullptr) + 3600}).ok);
    if (!isLegacy) {
      const std::uint8_t wrongDay = static_cast<std::uint8_t>((reply[31] + 1) % 7);
      ExpectRefused(poll, reply, {"weekday", 31, wrongDay});
      ExpectRefused(poll, reply, {"minute not packed decimal", 29, 0x6A});
    } else {
      ExpectRefused(poll, reply, {"month 13", 90, 0x13});
    }
  }
}

}  // namespace
}  // namespace velkor::test
