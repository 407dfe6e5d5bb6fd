#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "DeviceSeal.h"

namespace velkor::fuzz {

void Fail(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}

void Input::Bytes(std::uint8_t* out, std::size_t count) {
  const std::size_t take = count < left() ? count : left();
  if (take > 0) {
    std::memcpy(out, data_ + at_, take);
  }
  if (count > take) {
    std::memset(out + take, 0, count - take);
  }
  at_ += take;
}

std::string Input::Text(std::size_t max_length) {
  // Mostly digits, sometimes a letter, a blank or a high byte that ends the digits.
  static constexpr char kOthers[] = {'A', ' ', '/', ':', '\x80', '\xFF', 'z', '-'};
  std::string text(Byte() % (max_length + 1), '0');
  for (char& c : text) {
    const std::uint8_t b = Byte();
    if (b >= '0' && b <= '9') {
      c = static_cast<char>(b);
    } else {
      c = b < 0xE0 ? static_cast<char>('0' + b % 10) : kOthers[b % sizeof kOthers];
    }
  }
  return text;
}

Exact::Exact(std::size_t size, const std::uint8_t* from, std::size_t count, Input& rest)
    : Exact(size) {
  const std::size_t copy = count < size ? count : size;
  if (copy > 0) {
    std::memcpy(data(), from, copy);
  }
  rest.Bytes(data() + copy, size - copy);
}

std::uint8_t DrawCode(Input& in, std::uint8_t own) {
  const std::uint8_t b = in.Byte();
  return b < 0xC0 ? own : b;
}

std::string LeadingDigits(const char* text) {
  std::string digits;
  while (digits.size() < 8 && text[digits.size()] >= '0' && text[digits.size()] <= '9') {
    digits.push_back(text[digits.size()]);
  }
  return digits;
}

std::string PackedDigits(const std::uint8_t* field) {
  std::string digits;
  for (std::size_t nibble = 0; nibble < 8; ++nibble) {
    const int value = nibble % 2 == 0 ? field[nibble / 2] >> 4 : field[nibble / 2] & 0x0F;
    if (value > 9) {
      break;
    }
    digits.push_back(static_cast<char>('0' + value));
  }
  return digits;
}

bool IsDigitText(const char* field) {
  std::size_t i = 0;
  while (i < 8 && field[i] >= '0' && field[i] <= '9') {
    ++i;
  }
  for (; i < 9; ++i) {
    if (field[i] != 0) {
      return false;
    }
  }
  return true;
}

void DrawAcceptedHead(Input& in, std::uint8_t* packet) {
  in.Bytes(packet, kHead);
  std::memcpy(packet + kBlock, packet + 2, 8);
}

void SealAsDevice(std::uint8_t* packet) {
  devicekit::SealAsDevice(packet);
}

ReceivedHead KeepHead(const std::uint8_t* packet) {
  ReceivedHead head{};
  std::memcpy(head.bytes, packet, kHead);
  return head;
}

void CheckReply(const std::uint8_t* reply, const ReceivedHead& received, std::uint8_t code) {
  FUZZ_CHECK(reply[0] == code);
  FUZZ_CHECK(std::memcmp(reply + 1, received.bytes + 1, 9) == 0);
  devicekit::Block plain{};
  FUZZ_CHECK(devicekit::OpenReply(reply, plain));
  FUZZ_CHECK(std::memcmp(plain.data() + (kFree - kBlock), received.bytes + kFree, kFreeLength) ==
             0);
}

}  // namespace velkor::fuzz
