/*
 * velkorlink.h: the C interface of the Velkorlink device link library.
 *
 * The host receives a packet from a device by its own transport and hands the bytes to the
 * library. PreparePackage opens and checks the packet's security block and returns its command
 * code; Get functions decode records out of the packet; one Send function rewrites the same
 * buffer into the reply and returns the number of bytes to transmit.
 *
 * Buffers: the host owns every buffer and record. No Send function is told the buffer's size;
 * pass a buffer large enough for the longest reply asked for (1346 bytes covers every
 * fixed-format reply: a list of 88 cards) and never shorter than 102 bytes.
 *
 * Order: PreparePackage first; only when it returns non-zero, Get functions, then at most one
 * Send function on the same buffer. The library keeps one piece of state, the network
 * configuration record, so call it from one thread at a time and build the reply to a packet
 * before passing the next packet in.
 *
 * Symbols: every function is exported under its name with a leading underscore
 * (PreparePackage is the symbol _PreparePackage); call it by the plain name.
 */
#ifndef VELKORLINK_H
#define VELKORLINK_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(VELKORLINK_BUILD)
#define VELKORLINK_API __attribute__((visibility("default")))
#else
#define VELKORLINK_API
#endif
/* Binds a declaration to its exported symbol, the name with a leading underscore. */
#define VELKORLINK_SYMBOL(name) __asm__("_" #name)

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------------------
 * Packet intake and device identity
 * ------------------------------------------------------------------------------------- */

/* Opens and checks the security block of a received packet of `length` bytes, in place.
 * Returns the command code (byte 0), or 0 when the packet must be dropped: shorter than 26
 * bytes, a security block that does not open to the packet's own type and serial or whose
 * check value is wrong, a command code of 0, or a legacy voice data request below 29 bytes.
 * Every accepted packet resets the network configuration record; configuration packets
 * capture it. Call once per received packet: a second call refuses it. */
VELKORLINK_API int32_t PreparePackage(uint8_t* packet, uint32_t length)
    VELKORLINK_SYMBOL(PreparePackage);

/* Device type, byte 2 (0..255): 0 is a legacy device, any other value a current device. */
VELKORLINK_API int32_t GetDeviceType(const uint8_t* packet) VELKORLINK_SYMBOL(GetDeviceType);

/* Device serial: bytes 3..9 as a big-endian number (the top 8 bits are always 0). */
VELKORLINK_API uint64_t GetDeviceIdent(const uint8_t* packet) VELKORLINK_SYMBOL(GetDeviceIdent);

/* Builds the 26-byte reconnect packet from nothing (unsealed) and returns 26. */
VELKORLINK_API int32_t GetReconnectPackage(uint8_t* packet) VELKORLINK_SYMBOL(GetReconnectPackage);

/* ---------------------------------------------------------------------------------------
 * Network module configuration
 * ------------------------------------------------------------------------------------- */

/* Length of the network configuration record. */
#define VELKORLINK_NET_CONFIG_LENGTH 60

/* The library's network configuration record: 60 bytes, the two 16-bit words (bytes 5..6
 * and 7..8) low byte first, byte 39 the captured flag (0 = the last accepted packet carried
 * a configuration, or nothing was accepted yet; 1 = it carried none). Valid while the
 * library is loaded; the bytes change with the next accepted packet. */
VELKORLINK_API const uint8_t* ReadNetConfigration(void) VELKORLINK_SYMBOL(ReadNetConfigration);

/* Builds the network configuration reply (0xFE) from the record. Returns 86. */
VELKORLINK_API int32_t SendNetConfigration(uint8_t* packet) VELKORLINK_SYMBOL(SendNetConfigration);

/* ---------------------------------------------------------------------------------------
 * Echo, read and firmware commands
 * ------------------------------------------------------------------------------------- */

/* Read command (0xFD): the sealed 26-byte head. Returns 26. */
VELKORLINK_API int32_t SendDeviceReadCommand(uint8_t* packet)
    VELKORLINK_SYMBOL(SendDeviceReadCommand);

/* Echo reply. Current device: code 0x00, returns 26. Legacy device: code 0xF9 when the
 * received code was 0xFA, else 0x00, byte 26 = 0, returns 27. */
VELKORLINK_API int32_t SendDeviceEcho(uint8_t* packet) VELKORLINK_SYMBOL(SendDeviceEcho);

/* Firmware version of a 0xFC packet (legacy: BCD byte 26 times 100, 0 read as 1; current:
 * four ASCII digits at bytes 86..89), or -1 when byte 0 is not 0xFC. */
VELKORLINK_API int32_t GetFirmwareVersion(const uint8_t* packet)
    VELKORLINK_SYMBOL(GetFirmwareVersion);

/* ---------------------------------------------------------------------------------------
 * Voice data transfer (legacy devices)
 * ------------------------------------------------------------------------------------- */

/* Sound buffer of a voice data request that PreparePackage accepted (code 0xF2): a pointer to
 * packet byte 25, read as little-endian 16-bit elements. Element 0 is the data count, element
 * 1 the request word; the data bytes start at packet byte 29 (4 bytes past the pointer).
 * The pointer sits at an odd offset in the buffer: access it with memcpy, not by
 * dereferencing, on platforms that care about alignment. */
VELKORLINK_API uint16_t* GetSoundBuffer(uint8_t* packet) VELKORLINK_SYMBOL(GetSoundBuffer);

/* Voice data reply (0xF1) carrying the data count's bytes from byte 29. Returns count + 29. */
VELKORLINK_API int32_t SendSoundData(uint8_t* packet) VELKORLINK_SYMBOL(SendSoundData);

#ifdef __cplusplus
}
#endif

#endif /* VELKORLINK_H */
