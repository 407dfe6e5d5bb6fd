/*
 * A host in plain C99 using only velkorlink.h: takes one packet a device sealed, answers it
 * with a read command, and checks the reply byte for byte. Exits 0 when every check holds.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "velkorlink.h"

/* A card-list packet (0xF8) from a current device (type 1, serial 00 01 02 03 04 05 06),
 * sealed under the incoming link key. */
static const uint8_t kDevicePacket[26] = {0xF8, 0x00, 0x01, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05,
                                          0x06, 0xBD, 0x1A, 0x43, 0xB6, 0x38, 0xAB, 0xA7, 0x2D,
                                          0x91, 0x85, 0xBE, 0x62, 0x19, 0x94, 0x5E, 0xB8};

/* The read command the library must build from it, sealed under the outgoing link key. */
static const uint8_t kReadCommand[26] = {0xFD, 0x00, 0x01, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05,
                                         0x06, 0x22, 0xA9, 0x4D, 0x40, 0xF0, 0xAA, 0x10, 0x49,
                                         0x0A, 0x56, 0xA6, 0x05, 0x7B, 0x03, 0xC5, 0xD3};

static int failures = 0;

static void check(int ok, const char* what) {
  printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) {
    ++failures;
  }
}

int main(void) {
  uint8_t buffer[1346];
  int32_t code;
  const uint8_t* config;
  int i, zero = 1;

  memset(buffer, 0xC3, sizeof buffer);
  memcpy(buffer, kDevicePacket, sizeof kDevicePacket);

  code = PreparePackage(buffer, (uint32_t)sizeof kDevicePacket);
  check(code == 0xF8, "PreparePackage accepts the sealed packet and reports 0xF8");
  check(GetDeviceType(buffer) == 1, "device type 1");
  check(GetDeviceIdent(buffer) == 0x00010203040506ull, "device serial 0x00010203040506");

  config = ReadNetConfigration();
  for (i = 0; i < VELKORLINK_NET_CONFIG_LENGTH; ++i) {
    if (config[i] != (i == 39 ? 1 : 0)) {
      zero = 0;
    }
  }
  check(zero, "configuration record reset (nothing carried)");

  check(SendDeviceReadCommand(buffer) == 26, "read command is 26 bytes");
  check(memcmp(buffer, kReadCommand, sizeof kReadCommand) == 0, "read command byte for byte");
  check(buffer[26] == 0xC3, "nothing written past the reply");

  check(GetReconnectPackage(buffer) == 26 && buffer[0] == 0xFE &&
            memcmp(buffer + 10, "B6MJT2FYC9GSE4UA", 16) == 0,
        "reconnect packet");

  printf("%s\n", failures == 0 ? "all checks passed" : "some checks FAILED");
  return failures == 0 ? 0 : 1;
}
