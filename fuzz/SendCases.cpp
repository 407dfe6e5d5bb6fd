#include "SendCases.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <utility>

#include "velkorlink.h"

namespace velkor::fuzz {
namespace {

constexpr std::size_t kLegacyReply = 102;

bool Legacy(const std::uint8_t* packet) {
  return packet[2] == 0;
}

// A host count of -2..max+12, and the records a Send function writes for it.
struct Count {
  std::int32_t offered;
  std::size_t written;
};
Count DrawCount(Input& in, std::int32_t max) {
  const std::int32_t offered = static_cast<std::int32_t>(in.Byte() % (max + 15)) - 2;
  return {offered, static_cast<std::size_t>(std::clamp(offered, 0, max))};
}

// Host records of raw fuzzed bytes: every field value, booleans and texts included.
template <typename Record>
std::shared_ptr<Records<Record>> DrawRecords(Input& in, std::size_t count) {
  auto records = std::make_shared<Records<Record>>(count);
  in.Bytes(reinterpret_cast<std::uint8_t*>(records->data()), count * sizeof(Record));
  return records;
}

std::int32_t Length(std::size_t bytes) {
  return static_cast<std::int32_t>(bytes);
}

SendCall Echo(const std::uint8_t* packet, Input&) {
  if (!Legacy(packet)) {
    return {26, 26, 0x00, [](std::uint8_t* p) { return SendDeviceEcho(p); }};
  }
  const std::uint8_t code = packet[0] == 0xFA ? 0xF9 : 0x00;
  return {27, 27, code, [](std::uint8_t* p) { return SendDeviceEcho(p); }};
}

SendCall ReadCommand(const std::uint8_t*, Input&) {
  return {26, 26, 0xFD, [](std::uint8_t* p) { return SendDeviceReadCommand(p); }};
}

SendCall NetConfig(const std::uint8_t*, Input&) {
  return {86, 86, 0xFE, [](std::uint8_t* p) { return SendNetConfigration(p); }, true};
}

SendCall Cards(const std::uint8_t*, Input& in) {
  const Count n = DrawCount(in, 88);
  auto cards = DrawRecords<CardRecord>(in, n.written);
  const std::size_t area = kHead + 15 * n.written;
  return {area, Length(area), 0xF7,
          [n, cards](std::uint8_t* p) { return SendCards(p, n.offered, cards->data()); }};
}

SendCall MultiCards(const std::uint8_t*, Input& in) {
  const Count n = DrawCount(in, 32);
  auto groups = DrawRecords<MultiCardGroup>(in, n.written);
  const std::size_t area = kHead + 32 * n.written;
  return {area, Length(area), 0xF5,
          [n, groups](std::uint8_t* p) { return SendMultiCards(p, n.offered, groups->data()); }};
}

SendCall WorkTime(const std::uint8_t*, Input& in) {
  const Count n = DrawCount(in, 16);
  auto schedules = DrawRecords<WorkTimeSchedule>(in, n.written);
  const std::size_t area = kHead + 32 * n.written;
  return {area, Length(area), 0xF3, [n, schedules](std::uint8_t* p) {
            return SendWorkTime(p, n.offered, schedules->data());
          }};
}

SendCall DevicePassword(const std::uint8_t*, Input& in) {
  auto t = DrawPasswords(in);
  return {66, 66, 0xF1, [t](std::uint8_t* p) {
            const Passwords& s = *t;
            return SendDevicePassword(p, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8],
                                      s[9]);
          }};
}

SendCall FingerPassword(const std::uint8_t*, Input& in) {
  auto t = DrawPasswords(in);
  return {66, 66, 0xE7, [t](std::uint8_t* p) {
            const Passwords& s = *t;
            return SendFingerPassword(p, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8],
                                      s[9]);
          }};
}

// The control commands: 41 bytes to a current device, a legacy frame reply to a legacy one.
SendCall Control(const std::uint8_t* packet, std::function<std::int32_t(std::uint8_t*)> run) {
  if (Legacy(packet)) {
    return {kLegacyReply, kLegacyReply, 0xF9, std::move(run), true, true};
  }
  return {41, 41, 0xF9, std::move(run)};
}

SendCall Command(const std::uint8_t* packet, Input& in) {
  const auto command = static_cast<std::int32_t>(in.Long());
  const auto first = static_cast<std::int32_t>(in.Long());
  const auto second = static_cast<std::int32_t>(in.Long());
  const auto third = static_cast<std::int32_t>(in.Long());
  return Control(packet,
                 [=](std::uint8_t* p) { return SendControl(p, command, first, second, third); });
}

SendCall ExOutput(const std::uint8_t* packet, Input& in) {
  const auto value = static_cast<std::int32_t>(in.Long());
  return Control(packet, [value](std::uint8_t* p) { return SendExOutput(p, value); });
}

SendCall Timer(const std::uint8_t* packet, Input&) {
  return Control(packet, [](std::uint8_t* p) { return SendTimer(p); });
}

std::shared_ptr<Records<ModeBlock>> DrawBlock(Input& in) {
  return DrawRecords<ModeBlock>(in, 1);
}

SendCall ReaderMode(const std::uint8_t* packet, Input& in) {
  auto block = DrawBlock(in);
  auto run = [block](std::uint8_t* p) { return SendReaderMoton(p, block->data()); };
  if (Legacy(packet)) {
    return {kLegacyReply, kLegacyReply, 0xF9, run, true, true};
  }
  return {31, 31, 0xEF, run};
}

SendCall FingerMode(const std::uint8_t*, Input& in) {
  auto block = DrawBlock(in);
  return {31, 31, 0xED, [block](std::uint8_t* p) { return SendFingerMoton(p, block->data()); }};
}

SendCall FingerControl(const std::uint8_t*, Input& in) {
  const auto selector = static_cast<std::int32_t>(in.Long());
  const std::uint32_t number = in.Long();
  const auto command = static_cast<std::int32_t>(in.Long());
  // Returns 32 but fills the command with 0xAA up to byte 40.
  return {41, 32, 0xF9,
          [=](std::uint8_t* p) { return SendFingerControl(p, selector, number, command); }};
}

SendCall FingerData(const std::uint8_t* packet, Input& in) {
  auto record = DrawRecords<FingerDataRecord>(in, 1);
  auto run = [record](std::uint8_t* p) { return SendFingerData(p, record->data()); };
  if (packet[0] != 0xEA) {
    return {1, 0, packet[0], run};  // only a template request is answered
  }
  return {154, 154, 0xEB, run};
}

const SendCase kCases[] = {
    {"SendDeviceEcho", Echo},
    {"SendDeviceReadCommand", ReadCommand},
    {"SendNetConfigration", NetConfig},
    {"SendCards", Cards},
    {"SendMultiCards", MultiCards},
    {"SendWorkTime", WorkTime},
    {"SendDevicePassword", DevicePassword},
    {"SendFingerPassword", FingerPassword},
    {"SendControl", Command},
    {"SendExOutput", ExOutput},
    {"SendTimer", Timer},
    {"SendReaderMoton", ReaderMode},
    {"SendFingerMoton", FingerMode},
    {"SendFingerControl", FingerControl},
    {"SendFingerData", FingerData},
};

}  // namespace

const char* Passwords::operator[](std::size_t i) const {
  return texts[i] ? reinterpret_cast<const char*>(texts[i]->data()) : nullptr;
}

std::shared_ptr<Passwords> DrawPasswords(Input& in) {
  auto passwords = std::make_shared<Passwords>();
  for (auto& text : passwords->texts) {
    if (in.Bool()) {
      const std::string chars = in.Text(10);
      text = std::make_unique<Exact>(chars.size() + 1);
      std::copy(chars.c_str(), chars.c_str() + chars.size() + 1, text->data());
    }
  }
  return passwords;
}

const SendCase& PickSendCase(std::uint8_t selector) {
  return kCases[selector % std::size(kCases)];
}

}  // namespace velkor::fuzz
