// Shared pieces of the fuzz harnesses: reading the fuzzer's bytes, packet buffers that end
// exactly where a function's contract says they may, device-sealed packets, and checks that
// stop the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Every harness defines the libFuzzer entry point; the replay driver calls the same one.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace velkor::fuzz {

// Stops the run with the failed condition: libFuzzer keeps the input as a crash, the replay
// test fails.
[[noreturn]] void Fail(const char* file, int line, const char* condition);

#define FUZZ_CHECK(condition)                               \
  do {                                                      \
    if (!(condition)) {                                     \
      ::velkor::fuzz::Fail(__FILE__, __LINE__, #condition); \
    }                                                       \
  } while (false)

// The fuzzer's bytes, read front to back. Past the end every read gives zeros, so that a
// short input still drives a whole call.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  bool Bool() { return (Byte() & 1) != 0; }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() << 8 | Byte()); }
  std::uint32_t Long() { return static_cast<std::uint32_t>(Word()) << 16 | Word(); }
  std::uint64_t Quad() { return static_cast<std::uint64_t>(Long()) << 32 | Long(); }
  // A value in 0..max.
  std::uint32_t UpTo(std::uint32_t max) { return Long() % (max + 1); }
  // Fills `count` bytes.
  void Bytes(std::uint8_t* out, std::size_t count);
  // A text of 0..max_length characters, mostly digits, with a NUL after it: the characters a
  // host hands in as a digit text.
  std::string Text(std::size_t max_length);
  std::size_t left() const { return size_ - at_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// `size` bytes at the very end of a heap allocation: AddressSanitizer stops any access past
// them. An empty one is the end of a 1-byte allocation, since AddressSanitizer lets a 0-byte
// allocation be read.
class Exact {
 public:
  explicit Exact(std::size_t size)
      : allocation_(new std::uint8_t[size == 0 ? 1 : size]),
        bytes_(allocation_.get() + (size == 0 ? 1 : 0)),
        size_(size) {}
  // A copy of `from`, `count` bytes, the rest (if any) filled from `rest`.
  Exact(std::size_t size, const std::uint8_t* from, std::size_t count, Input& rest);

  std::uint8_t* data() { return bytes_; }
  const std::uint8_t* data() const { return bytes_; }
  std::size_t size() const { return size_; }
  std::uint8_t& operator[](std::size_t i) { return bytes_[i]; }
  std::uint8_t operator[](std::size_t i) const { return bytes_[i]; }

 private:
  std::unique_ptr<std::uint8_t[]> allocation_;
  std::uint8_t* bytes_;
  std::size_t size_;
};

// Host records live in exact allocations as well, `count` of them back to back.
template <typename Record>
class Records {
 public:
  explicit Records(std::size_t count) : bytes_(count * sizeof(Record)), count_(count) {}
  Record* data() { return count_ == 0 ? nullptr : reinterpret_cast<Record*>(bytes_.data()); }
  Record& operator[](std::size_t i) { return data()[i]; }
  std::size_t count() const { return count_; }

 private:
  Exact bytes_;
  std::size_t count_;
};

// The command code of a received packet: mostly `own`, the code the function looks for, else
// any code at all.
std::uint8_t DrawCode(Input& in, std::uint8_t own);

// The digit text a host's text packs to: its leading digits, at most eight.
std::string LeadingDigits(const char* text);
// The digit text a 4-byte packed digit field holds: digit nibbles up to the first one above 9.
std::string PackedDigits(const std::uint8_t* field);
// A digit text field of 9 bytes holds 0..8 digits and then only NULs.
bool IsDigitText(const char* field);

// Packet positions every harness needs.
inline constexpr std::size_t kHead = 26;   // the head; the payload starts here
inline constexpr std::size_t kBlock = 10;  // security block, bytes 10..25
inline constexpr std::size_t kFree = 18;   // plain block bytes 18..23, carried into the reply
inline constexpr std::size_t kFreeLength = 6;

// The head of a packet as PreparePackage leaves an accepted one: bytes 0..25 from `in`, with
// the plain block's bytes 10..17 a copy of bytes 2..9.
void DrawAcceptedHead(Input& in, std::uint8_t* packet);

// Seals a device packet in place as a device seals it (incoming key text): the head must be
// whole, bytes 0..25.
void SealAsDevice(std::uint8_t* packet);

// A reply built on an accepted packet: opens under the outgoing key text with bytes 10..17
// equal to bytes 2..9, carries `head` (the received bytes 1..9 and plain bytes 18..23) and
// `code` in byte 0.
struct ReceivedHead {
  std::uint8_t bytes[kHead];  // the received packet's bytes 0..25 as PreparePackage left them
};
ReceivedHead KeepHead(const std::uint8_t* packet);
void CheckReply(const std::uint8_t* reply, const ReceivedHead& received, std::uint8_t code);

}  // namespace velkor::fuzz
