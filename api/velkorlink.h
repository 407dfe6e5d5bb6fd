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

/* VELKORLINK_SYMBOL binds a declaration to its exported symbol, the name with a leading
 * underscore. On ELF that is an assembler label; on Windows the DLL's module definition file
 * exports each function under the underscore name and the import library maps the plain name
 * to it, so the declaration stays plain. */
#if defined(_WIN32)
#define VELKORLINK_API
#define VELKORLINK_SYMBOL(name)
#elif defined(VELKORLINK_BUILD)
#define VELKORLINK_API __attribute__((visibility("default")))
#define VELKORLINK_SYMBOL(name) __asm__("_" #name)
#else
#define VELKORLINK_API
#define VELKORLINK_SYMBOL(name) __asm__("_" #name)
#endif

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
 * Card and schedule data
 *
 * Host records are byte-packed with no gaps, so that arrays of them lie back to back the same
 * way in C and C++. Boolean fields are single bytes: any non-zero value counts as set when
 * sending; reading writes exactly 0 or 1. Get functions write (length - 26) / stride records
 * (at most 32 groups or 16 schedules; a card list has no cap), so the host's array must have
 * room for that many; a length below 26 gives 0 and writes nothing. Being packed, a multi-byte
 * field may sit at any address: read and write fields by value, never through a pointer or a
 * C++ reference to the field itself.
 * ------------------------------------------------------------------------------------- */

/* Checks a record's size at compile time: static_assert in C++ and C11, and in C99 an array
 * type whose size turns negative when the record's size is wrong. */
#if defined(__cplusplus)
#define VELKORLINK_RECORD_SIZE(type, size) static_assert(sizeof(type) == (size), #type " size")
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VELKORLINK_RECORD_SIZE(type, size) _Static_assert(sizeof(type) == (size), #type " size")
#else
#define VELKORLINK_RECORD_SIZE(type, size) \
  typedef char velkorlink_size_of_##type[(sizeof(type) == (size)) ? 1 : -1]
#endif

#pragma pack(push, 1)

/* One card of the card list (30 bytes). */
typedef struct CardRecord {
  int64_t cardNumber; /* only the low 40 bits travel; read back with the upper 24 bits 0 */
  char password[9];   /* up to 8 digits and a NUL; cut at the first non-digit */
  int16_t year;       /* last two digits of the date stamp's year (0..99) */
  uint8_t month;
  uint8_t day;
  uint8_t hour;
  uint8_t param; /* carried unchanged */
  uint8_t flag0; /* card flag bits 0..4 */
  uint8_t flag1;
  uint8_t flag2;
  uint8_t flag3;
  uint8_t flag4;
  uint8_t flag7; /* bit 7 (before bit 6 in this record) */
  uint8_t flag6; /* bit 6 */
} CardRecord;

/* One multi-card group (49 bytes). */
typedef struct MultiCardGroup {
  uint8_t groupNumber;    /* 0..31; a received group numbered 32 or more is dropped */
  uint8_t param1;         /* carried unchanged */
  int64_t cardNumbers[5]; /* negative = empty slot (read back as -1); low 40 bits travel */
  uint8_t param2;         /* carried unchanged */
  uint8_t enabled;
  uint8_t flag0; /* group flag bits 0..4 */
  uint8_t flag1;
  uint8_t flag2;
  uint8_t flag3;
  uint8_t flag4;
} MultiCardGroup;

/* One period of the day (4 bytes). It is sent only when start <= 24:00, end <= 24:00 and
 * start is before end, counted as hour * 60 + minute; otherwise it goes out as absent. An
 * absent period reads back as 255 in all four fields. */
typedef struct WorkTimePeriod {
  uint8_t startHour;
  uint8_t startMinute;
  uint8_t endHour;
  uint8_t endMinute;
} WorkTimePeriod;

/* One work-time schedule (26 bytes). */
typedef struct WorkTimeSchedule {
  uint8_t param0; /* carried unchanged */
  uint8_t param1; /* carried unchanged */
  WorkTimePeriod periods[6];
} WorkTimeSchedule;

#pragma pack(pop)

VELKORLINK_RECORD_SIZE(CardRecord, 30);
VELKORLINK_RECORD_SIZE(MultiCardGroup, 49);
VELKORLINK_RECORD_SIZE(WorkTimePeriod, 4);
VELKORLINK_RECORD_SIZE(WorkTimeSchedule, 26);

/* Card list (0xF7) of at most 88 cards; count <= 0 sends none. Returns 26 + 15 per card,
 * up to 1346. */
VELKORLINK_API int32_t SendCards(uint8_t* packet, int32_t count, const CardRecord* cards)
    VELKORLINK_SYMBOL(SendCards);

/* Cards of a received card list (0xF8). Returns the number written, 0 for any other code. */
VELKORLINK_API int32_t GetCards(const uint8_t* packet, uint32_t length, CardRecord* cards)
    VELKORLINK_SYMBOL(GetCards);

/* Multi-card groups (0xF5), at most 32; the filled card slots of each group close up towards
 * slot 0 in their order. Returns 26 + 32 per group, up to 1050. */
VELKORLINK_API int32_t SendMultiCards(uint8_t* packet, int32_t count, const MultiCardGroup* groups)
    VELKORLINK_SYMBOL(SendMultiCards);

/* Groups of a received 0xF6 packet, at most 32, skipping those numbered 32 or more. Returns the
 * number written, 0 for any other code. */
VELKORLINK_API int32_t GetMultiCards(const uint8_t* packet, uint32_t length, MultiCardGroup* groups)
    VELKORLINK_SYMBOL(GetMultiCards);

/* Work-time schedules (0xF3), at most 16. Returns 26 + 32 per schedule, up to 538. */
VELKORLINK_API int32_t SendWorkTime(uint8_t* packet, int32_t count,
                                    const WorkTimeSchedule* schedules)
    VELKORLINK_SYMBOL(SendWorkTime);

/* Schedules of a received 0xF4 packet, at most 16. Returns the number written, 0 for any other
 * code. */
VELKORLINK_API int32_t GetWorkTime(const uint8_t* packet, uint32_t length,
                                   WorkTimeSchedule* schedules) VELKORLINK_SYMBOL(GetWorkTime);

/* Ten device passwords (0xF1) or fingerprint passwords (0xE7), each a digit text or null
 * (sent as no password), cut at the first non-digit or after eight digits. Return 66. */
VELKORLINK_API int32_t SendDevicePassword(uint8_t* packet, const char* password0,
                                          const char* password1, const char* password2,
                                          const char* password3, const char* password4,
                                          const char* password5, const char* password6,
                                          const char* password7, const char* password8,
                                          const char* password9)
    VELKORLINK_SYMBOL(SendDevicePassword);
VELKORLINK_API int32_t SendFingerPassword(uint8_t* packet, const char* password0,
                                          const char* password1, const char* password2,
                                          const char* password3, const char* password4,
                                          const char* password5, const char* password6,
                                          const char* password7, const char* password8,
                                          const char* password9)
    VELKORLINK_SYMBOL(SendFingerPassword);

/* Password `index` (0..9) of a password packet as a digit text, written into packet bytes
 * 76..84 (the buffer must hold at least 85 bytes); empty for an index above 9. Any command
 * code is read. Every call returns the same address: copy the text before the next call. */
VELKORLINK_API const char* GetDevicePassword(uint8_t* packet, uint32_t index)
    VELKORLINK_SYMBOL(GetDevicePassword);

/* ---------------------------------------------------------------------------------------
 * Events, control and peripherals
 * ------------------------------------------------------------------------------------- */

#pragma pack(push, 1)

/* One event record (43 bytes). Every GetEvents call that returns true sets `kind`, all eight
 * values to -1, `cardNumber` to -1 and `digits` to an empty text before decoding; `number`
 * and `code` change only when the record carries them. */
typedef struct EventRecord {
  uint8_t kind;    /* current device: record byte 0; legacy device: the opcode's high nibble */
  uint64_t number; /* kinds 0 and 3: 48-bit number; kind 4: 16-bit number */
  uint8_t code;    /* kinds 0, 1 and 3: event code; its high nibble is the code group */
  int16_t value1;  /* values that depend on kind and code; -1 when the record has none */
  int16_t value2;
  int16_t value3;
  int16_t value4;
  int16_t value5;
  int16_t value6;
  int16_t value7;
  int16_t value8;
  int64_t cardNumber; /* code group 8 of a current device: 40-bit card number */
  char digits[9];     /* code group 9 of a current device: up to 8 digits and a NUL */
} EventRecord;

/* A mode block of a reader or a fingerprint reader (5 bytes), carried unchanged, except that a
 * legacy reader takes settings[0] and settings[1] as decimal numbers 0..99. */
typedef struct ModeBlock {
  uint8_t settings[5];
} ModeBlock;

/* A fingerprint template exchange (135 bytes). */
typedef struct FingerDataRecord {
  uint8_t leadByte;          /* byte 26 of an upload (0xE8) or request (0xEA); else 0 */
  uint8_t lowBits;           /* low two bits of byte 27, for every packet */
  uint32_t number;           /* request only: bytes 29..32, most significant first */
  uint8_t lowNibble;         /* request only: low four bits of byte 28 */
  uint8_t templateData[128]; /* upload: the template received; SendFingerData: the one sent */
} FingerDataRecord;

#pragma pack(pop)

VELKORLINK_RECORD_SIZE(EventRecord, 43);
VELKORLINK_RECORD_SIZE(ModeBlock, 5);
VELKORLINK_RECORD_SIZE(FingerDataRecord, 135);

/* Decodes the last record still counted in an event packet and counts it off (packet byte 26
 * goes down by one), so repeated calls give the records from last to first. Returns false,
 * writing nothing, once the count is 0. Kinds above 4 are consumed without decoding. Tests no
 * command code; a legacy kind-2 record is also copied into packet bytes 30..39. */
VELKORLINK_API bool GetEvents(uint8_t* packet, EventRecord* record) VELKORLINK_SYMBOL(GetEvents);

/* Control command (0xF9): `command` with bit 7 set and three argument bytes (low bytes of the
 * values). Returns 41 (current device) or 102 (legacy device). */
VELKORLINK_API int32_t SendControl(uint8_t* packet, int32_t command, int32_t first, int32_t second,
                                   int32_t third) VELKORLINK_SYMBOL(SendControl);

/* Sets the extra output to the low byte of `value` (0xF9). Returns 41 or 102. */
VELKORLINK_API int32_t SendExOutput(uint8_t* packet, int32_t value) VELKORLINK_SYMBOL(SendExOutput);

/* Sets the device clock to the local time one second before the call (0xF9). Returns 41 or
 * 102. */
VELKORLINK_API int32_t SendTimer(uint8_t* packet) VELKORLINK_SYMBOL(SendTimer);

/* Reader mode report (0xEE) / fingerprint mode report (0xEC): copies bytes 26..30 into `block`
 * and returns true; for any other code returns false and leaves `block` as it was. */
VELKORLINK_API bool GetReaderMoton(const uint8_t* packet, ModeBlock* block)
    VELKORLINK_SYMBOL(GetReaderMoton);
VELKORLINK_API bool GetFingerMoton(const uint8_t* packet, ModeBlock* block)
    VELKORLINK_SYMBOL(GetFingerMoton);

/* Reader mode: 0xEF with the block at bytes 26..30, returns 31 (current device); a legacy
 * frame, returns 102 (legacy device). */
VELKORLINK_API int32_t SendReaderMoton(uint8_t* packet, const ModeBlock* block)
    VELKORLINK_SYMBOL(SendReaderMoton);

/* Fingerprint mode: 0xED with the block at bytes 26..30 for every device type. Returns 31. */
VELKORLINK_API int32_t SendFingerMoton(uint8_t* packet, const ModeBlock* block)
    VELKORLINK_SYMBOL(SendFingerMoton);

/* Fingerprint control command (0xF9): selector, `command` with bit 7 set, `number` most
 * significant byte first. Writes up to byte 40; returns 32. */
VELKORLINK_API int32_t SendFingerControl(uint8_t* packet, int32_t selector, uint32_t number,
                                         int32_t command) VELKORLINK_SYMBOL(SendFingerControl);

/* Fingerprint control report: byte 26 (0..255) when byte 0 is 0xF9, else 0. */
VELKORLINK_API int32_t GetFingerControl(const uint8_t* packet) VELKORLINK_SYMBOL(GetFingerControl);

/* Fills `record` from a template upload (0xE8: lead byte, low bits, template) or request
 * (0xEA: lead byte, low bits, low nibble, number); any other packet sets only `leadByte` to 0
 * and `lowBits`. Fields the packet does not carry keep their contents. Reads up to byte 155. */
VELKORLINK_API void GetFingerData(const uint8_t* packet, FingerDataRecord* record)
    VELKORLINK_SYMBOL(GetFingerData);

/* Answers a template request (0xEA) with the record's template (0xEB, bytes 26..153). Returns
 * 154; for any other code returns 0 and leaves the packet as it was. */
VELKORLINK_API int32_t SendFingerData(uint8_t* packet, const FingerDataRecord* record)
    VELKORLINK_SYMBOL(SendFingerData);

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
