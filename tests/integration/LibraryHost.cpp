#include "LibraryHost.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace velkor::test {
namespace {

constexpr std::size_t kBufferSize = 2048;
constexpr std::int32_t kEventReport = 0x01;
constexpr std::int32_t kFingerUpload = 0xE8;
constexpr std::int32_t kFingerRequest = 0xEA;
constexpr std::int32_t kVoiceRequest = 0xF2;

CardRecord Card(std::int64_t number, const char* password, std::uint8_t flags) {
  CardRecord card{};
  card.cardNumber = number;
  std::snprintf(card.password, sizeof card.password, "%s", password);
  card.year = 26;
  card.month = 6;
  card.day = 30;
  card.hour = 18;
  card.param = 0x42;
  card.flag0 = flags & 0x01;
  card.flag4 = flags & 0x10;
  card.flag7 = flags & 0x80;
  card.flag6 = flags & 0x40;
  return card;
}

}  // namespace

HostSide::HostSide() {
  cards = {Card(1001, "1234", 0x01), Card(0xFFFFFFFFFF, "", 0xC0), Card(0, "87654321", 0x10)};
  MultiCardGroup group{};
  group.groupNumber = 7;
  group.param1 = 1;
  group.cardNumbers[0] = -1;  // empty slots close up: the device sees 1001, 0
  group.cardNumbers[1] = 1001;
  group.cardNumbers[2] = -1;
  group.cardNumbers[3] = 0;
  group.cardNumbers[4] = -2;
  group.param2 = 2;
  group.enabled = 1;
  group.flag3 = 1;
  groups = {group};
  WorkTimeSchedule schedule{};
  schedule.param0 = 9;
  schedule.param1 = 8;
  for (WorkTimePeriod& period : schedule.periods) {
    period = {255, 255, 255, 255};  // no period
  }
  schedule.periods[0] = {8, 0, 12, 30};
  schedule.periods[2] = {0, 0, 24, 0};
  schedule.periods[3] = {25, 0, 26, 0};  // past 24:00: sent as no period
  schedules = {schedule};
  passwords = {"1234", nullptr, "", "87654321", nullptr, "5", nullptr, nullptr, nullptr, "0"};
  mode = {{12, 34, 1, 2, 3}};
}

void LibraryHost::Send(const sim::Bytes& datagram) {
  const bool firstCopy =
      (host_.dropFirstCopy || host_.holdFirstCopy) && host_.heard.insert(datagram).second;
  if (host_.dropFirstCopy && firstCopy) {
    return;
  }
  // Replies held back arrive now, before the answer to this datagram.
  replies_.insert(replies_.end(), held_.begin(), held_.end());
  held_.clear();
  auto& queue = host_.holdFirstCopy && firstCopy ? held_ : replies_;
  std::uint8_t packet[kBufferSize] = {};
  if (datagram.size() > sizeof packet) {  // longer than any packet of the link: dropped unread
    ++host_.refused;
    return;
  }
  std::memcpy(packet, datagram.data(), datagram.size());
  const auto length = static_cast<std::uint32_t>(datagram.size());
  const std::int32_t code = PreparePackage(packet, length);
  if (code == 0) {
    ++host_.refused;
    if (host_.answerRefused) {
      queue.emplace_back(packet, packet + 26);
    }
    return;
  }
  ++host_.accepted;
  const std::int32_t reply = Answer(packet, length, code);
  if (reply < 0 || static_cast<std::size_t>(reply) > sizeof packet) {
    ADD_FAILURE() << "the library answered with a reply of " << reply << " bytes";
    return;
  }
  for (int copies = host_.answerTwice ? 2 : 1; copies > 0 && !host_.stayMute; --copies) {
    queue.emplace_back(packet, packet + reply);
  }
}

sim::Receive LibraryHost::Await(int, sim::Bytes& datagram) {
  if (replies_.empty()) {
    return sim::Receive::kTimeout;
  }
  datagram = replies_.front();
  replies_.pop_front();
  return sim::Receive::kReply;
}

std::int32_t LibraryHost::Answer(std::uint8_t* packet, std::uint32_t length, std::int32_t code) {
  FingerDataRecord finger{};
  if (code == kEventReport) {
    EventRecord event;
    while (GetEvents(packet, &event)) {
      ++host_.events;
    }
  } else if (code == kFingerUpload) {
    GetFingerData(packet, &finger);
    host_.templates[{GetDeviceIdent(packet), finger.leadByte}] = finger;
  } else if (code == kFingerRequest) {
    GetFingerData(packet, &finger);
    return SendFingerData(packet, &host_.templates[{GetDeviceIdent(packet), finger.leadByte}]);
  } else if (code == kVoiceRequest && GetDeviceType(packet) == 0) {
    auto* sound = reinterpret_cast<std::uint8_t*>(GetSoundBuffer(packet));
    const std::uint8_t count = sound[2] % 40;  // the request word picks the clip length
    std::memset(sound + 4, sound[2], count);
    sound[0] = count;
    sound[1] = 0;
    return SendSoundData(packet);
  }
  (void)length;
  return SendCommand(packet);
}

std::int32_t LibraryHost::SendCommand(std::uint8_t* packet) {
  const auto command =
      static_cast<Command>(host_.nextCommand++ % static_cast<std::size_t>(Command::kCount));
  host_.sent[GetDeviceIdent(packet)].insert(command);
  const auto& p = host_.passwords;
  switch (command) {
    case Command::kEcho:
      return SendDeviceEcho(packet);
    case Command::kRead:
      return SendDeviceReadCommand(packet);
    case Command::kConfig:
      return SendNetConfigration(packet);
    case Command::kCards:
      return SendCards(packet, static_cast<std::int32_t>(host_.cards.size()), host_.cards.data());
    case Command::kGroups:
      return SendMultiCards(packet, static_cast<std::int32_t>(host_.groups.size()),
                            host_.groups.data());
    case Command::kSchedules:
      return SendWorkTime(packet, static_cast<std::int32_t>(host_.schedules.size()),
                          host_.schedules.data());
    case Command::kPasswords:
      return SendDevicePassword(packet, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9]);
    case Command::kFingerPasswords:
      return SendFingerPassword(packet, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9]);
    case Command::kClock:
      return SendTimer(packet);
    case Command::kControl:
      return SendControl(packet, kControlCommand, kControlArguments[0], kControlArguments[1],
                         kControlArguments[2]);
    case Command::kExtraOutput:
      return SendExOutput(packet, kExtraOutputValue);
    case Command::kReaderMode:
      return SendReaderMoton(packet, &host_.mode);
    case Command::kFingerMode:
      return SendFingerMoton(packet, &host_.mode);
    case Command::kFingerControl:
    case Command::kCount:
      break;
  }
  return SendFingerControl(packet, 2, kFingerNumber, kControlCommand);
}

}  // namespace velkor::test
