// The Send functions a host may answer an accepted packet with, each with the area of buffer
// its reply may occupy, its reply length and its command code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "FuzzSupport.h"

namespace velkor::fuzz {

struct SendCall {
  std::size_t area;     // bytes of buffer the function may touch
  std::int32_t length;  // the reply length it must return; 0: no reply, the buffer untouched
  std::uint8_t code;    // byte 0 of the reply
  std::function<std::int32_t(std::uint8_t*)> run;
  bool config = false;        // the reply carries the network configuration record
  bool legacy_frame = false;  // the reply is a legacy controller frame reply (102 bytes)
};

struct SendCase {
  const char* name;
  // Draws the function's arguments from `in` for the accepted packet (bytes 0..25 at least).
  SendCall (*prepare)(const std::uint8_t* packet, Input& in);
};

const SendCase& PickSendCase(std::uint8_t selector);

// Ten optional digit texts for the password functions, each null or in an allocation of its
// own exact length.
struct Passwords {
  std::array<std::unique_ptr<Exact>, 10> texts;
  const char* operator[](std::size_t i) const;
};
std::shared_ptr<Passwords> DrawPasswords(Input& in);

}  // namespace velkor::fuzz
