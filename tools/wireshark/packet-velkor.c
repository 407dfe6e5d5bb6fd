/*
 * Velkor device link packets in Wireshark: a dissector plugin for UDP port 47810, with a
 * heuristic for other ports (a datagram whose security block opens under either link key
 * text). It shows what velkor-inspect shows: which key text opens the block, the head, and
 * the payload, as filterable fields.
 *
 * The block is opened the way a device opens it, through the utility library (key text
 * shifted by LeftShiftKey, TripleDES_Decrypt, CalcRegisterSum for the check value), so both
 * directions open. Device packets are decoded by the link library itself, on a zero-filled
 * copy, through its public header; replies, which the library builds but never reads, from
 * their wire layouts here.
 */
#include <stdint.h>
#include <string.h>

#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <ws_symbol_export.h>

#include "VelkorVersion.h"
#include "velkorlink.h"
#include "velkorutils.h"

#define VELKOR_UDP_PORT 47810

#define HEAD 26       /* bytes 0..25; the payload starts here */
#define BLOCK 10      /* the security block: bytes 10..25 */
#define IDENTITY 2    /* type and serial, bytes 2..9, repeated as block bytes 0..7 */
#define LEGACY_TYPE 0 /* byte 2 of a legacy device's packets */
#define CONFIG_LENGTH 60
#define FILL 0xAA /* unused bytes of commands and legacy frames */
/* The farthest the library reads or writes on a device packet: a legacy event packet whose
 * count byte is 255. Its copy is zero-filled that far. */
#define WORK_BYTES (86 + 16 * 256)

/* The link key texts. */
static const char kOutgoingKeyText[] = "HZ5RW8KDNVP3QX7L"; /* host to device */
static const char kIncomingKeyText[] = "B6MJT2FYC9GSE4UA"; /* device to host */

WS_DLL_PUBLIC_DEF const char plugin_version[] = VELKOR_VERSION;
WS_DLL_PUBLIC_DEF const int plugin_want_major = 4;
WS_DLL_PUBLIC_DEF const int plugin_want_minor = 0;
WS_DLL_PUBLIC void plugin_register(void);

static int proto_velkor = -1;
static dissector_handle_t velkor_handle;

/* Head and block. */
static int hf_code = -1, hf_byte1 = -1, hf_type = -1, hf_generation = -1, hf_serial = -1;
static int hf_key = -1, hf_direction = -1, hf_prepare = -1, hf_family = -1;
static int hf_free = -1, hf_check = -1, hf_check_ok = -1, hf_payload = -1;
/* Events. */
static int hf_event_count = -1, hf_event_index = -1, hf_event_bytes = -1, hf_event_kind = -1;
static int hf_event_number = -1, hf_event_code = -1, hf_event_value = -1;
static int hf_event_card_number = -1, hf_event_digits = -1;
/* Cards. */
static int hf_card_number = -1, hf_card_password = -1, hf_card_year = -1, hf_card_month = -1;
static int hf_card_day = -1, hf_card_hour = -1, hf_card_param = -1, hf_card_flag[8];
/* Multi-card groups. */
static int hf_group_number = -1, hf_group_param1 = -1, hf_group_card_number = -1;
static int hf_group_param2 = -1, hf_group_enabled = -1, hf_group_flag[5];
/* Work-time schedules. */
static int hf_schedule_param0 = -1, hf_schedule_param1 = -1;
static int hf_period_start_hour = -1, hf_period_start_minute = -1;
static int hf_period_end_hour = -1, hf_period_end_minute = -1;
/* Network configuration and firmware. */
static int hf_config_captured = -1, hf_config_lead = -1, hf_config_field4 = -1;
static int hf_config_word1 = -1, hf_config_word2 = -1, hf_config_block30 = -1;
static int hf_config_block20 = -1, hf_firmware = -1;
/* Clock, control, outputs, modes. */
static int hf_clock_year = -1, hf_clock_month = -1, hf_clock_day = -1, hf_clock_hour = -1;
static int hf_clock_minute = -1, hf_clock_second = -1, hf_clock_weekday = -1;
static int hf_control_command = -1, hf_control_argument = -1, hf_output_value = -1;
static int hf_mode_setting = -1;
/* Legacy controller frame. */
static int hf_frame_opcode = -1, hf_frame_data = -1, hf_frame_sum = -1, hf_frame_sum_ok = -1;
static int hf_frame_framing_ok = -1;
/* Fingerprint readers, passwords, voice data. */
static int hf_template_lead_byte = -1, hf_template_low_bits = -1, hf_template_low_nibble = -1;
static int hf_template_number = -1, hf_template_data = -1;
static int hf_finger_selector = -1, hf_finger_command = -1, hf_finger_number = -1;
static int hf_finger_report = -1, hf_password = -1;
static int hf_voice_count = -1, hf_voice_request = -1, hf_voice_data = -1;

static gint ett_velkor = -1, ett_block = -1, ett_payload = -1, ett_record = -1;

static expert_field ei_no_key = EI_INIT;
static expert_field ei_check = EI_INIT;
static expert_field ei_length = EI_INIT;
static expert_field ei_short = EI_INIT;
static expert_field ei_note = EI_INIT;

/* ---- The security block ---- */

typedef struct {
  gboolean copy;  /* block bytes 0..7 equal packet bytes 2..9 */
  gboolean check; /* block bytes 14..15 hold the check value of bytes 0..13 */
  guint8 plain[16];
} opening_t;

static void open_block(const guint8* bytes, const char* key_text, opening_t* o) {
  guint8 key[16];
  memcpy(key, key_text, sizeof key);
  LeftShiftKey(key);
  memcpy(o->plain, bytes + BLOCK, sizeof o->plain);
  TripleDES_Decrypt(key, o->plain, 16);
  const int32_t check = CalcRegisterSum(o->plain);
  o->copy = memcmp(o->plain, bytes + IDENTITY, 8) == 0;
  o->check = o->plain[14] == ((check >> 8) & 0xFF) && o->plain[15] == (check & 0xFF);
}

static gboolean opens(const opening_t* o) {
  return o->copy && o->check;
}

/* The reconnect packet travels unsealed: the first 8 characters of the outgoing key text and
 * the whole incoming key text in plain. */
static gboolean is_reconnect(const guint8* bytes, guint length) {
  return length == HEAD && bytes[0] == 0xFE && bytes[1] == 0 &&
         memcmp(bytes + 2, kOutgoingKeyText, 8) == 0 &&
         memcmp(bytes + BLOCK, kIncomingKeyText, 16) == 0;
}

/* ---- Helpers ---- */

typedef struct {
  tvbuff_t* tvb;
  packet_info* pinfo;
  proto_tree* tree; /* the payload subtree */
  proto_item* top;  /* the protocol item, where expert info goes */
  const guint8* bytes;
  guint length;
  const char* family;
} packet_t;

/* An item range that stays inside the captured bytes. */
static void clamp(const packet_t* p, gint* start, gint* length) {
  if ((guint)*start > p->length) {
    *start = (gint)p->length;
  }
  if ((guint)(*start + *length) > p->length) {
    *length = (gint)p->length - *start;
  }
}

static proto_item* add_uint(const packet_t* p, proto_tree* tree, int hf, gint start, gint length,
                            guint32 value) {
  clamp(p, &start, &length);
  return proto_tree_add_uint(tree, hf, p->tvb, start, length, value);
}

static proto_item* add_int(const packet_t* p, proto_tree* tree, int hf, gint start, gint length,
                           gint32 value) {
  clamp(p, &start, &length);
  return proto_tree_add_int(tree, hf, p->tvb, start, length, value);
}

static proto_item* add_uint64(const packet_t* p, proto_tree* tree, int hf, gint start, gint length,
                              guint64 value) {
  clamp(p, &start, &length);
  return proto_tree_add_uint64(tree, hf, p->tvb, start, length, value);
}

static proto_item* add_int64(const packet_t* p, proto_tree* tree, int hf, gint start, gint length,
                             gint64 value) {
  clamp(p, &start, &length);
  return proto_tree_add_int64(tree, hf, p->tvb, start, length, value);
}

static proto_item* add_bool(const packet_t* p, proto_tree* tree, int hf, gint start, gint length,
                            gboolean value) {
  clamp(p, &start, &length);
  return proto_tree_add_boolean(tree, hf, p->tvb, start, length, value);
}

static proto_item* add_string(const packet_t* p, proto_tree* tree, int hf, gint start, gint length,
                              const char* value) {
  clamp(p, &start, &length);
  return proto_tree_add_string(tree, hf, p->tvb, start, length, value);
}

/* Bytes that need not be the packet's own (a decoded record): shown over `start`, `length`. */
static proto_item* add_bytes(const packet_t* p, proto_tree* tree, int hf, gint start, gint length,
                             const guint8* value, gint count) {
  clamp(p, &start, &length);
  return proto_tree_add_bytes_with_length(tree, hf, p->tvb, start, length, value, count);
}

/* The packet's own bytes from `start` to its end (at most `count`). */
static void add_tail(const packet_t* p, proto_tree* tree, int hf, guint start, guint count) {
  if (start <= p->length) {
    const guint left = p->length - start;
    const guint n = count < left ? count : left;
    add_bytes(p, tree, hf, (gint)start, (gint)n, p->bytes + start, (gint)n);
  }
}

static void note(const packet_t* p, expert_field* ei, const char* text) {
  expert_add_info_format(p->pinfo, p->top, ei, "%s", text);
}

/* True when the packet holds `end` bytes; otherwise a length expert info on `what`. */
static gboolean need(const packet_t* p, guint end, const char* what) {
  if (p->length >= end) {
    return TRUE;
  }
  expert_add_info_format(p->pinfo, p->top, &ei_length, "%s needs %u bytes, the packet has %u", what,
                         end, p->length);
  return FALSE;
}

static guint64 big_endian(const guint8* bytes, guint count) {
  guint64 value = 0;
  for (guint i = 0; i < count; ++i) {
    value = value << 8 | bytes[i];
  }
  return value;
}

static guint bcd(guint8 byte) {
  return (guint)(byte >> 4) * 10 + (byte & 0x0F);
}

/* A 4-byte packed digit field as its digit text: digits up to the first nibble above 9. */
static void packed_digits(const guint8* field, char out[9]) {
  int n = 0;
  for (int i = 0; i < 4; ++i) {
    const int nibbles[2] = {field[i] >> 4, field[i] & 0x0F};
    for (int k = 0; k < 2; ++k) {
      if (nibbles[k] > 9) {
        out[n] = '\0';
        return;
      }
      out[n++] = (char)('0' + nibbles[k]);
    }
  }
  out[n] = '\0';
}

static gboolean all_fill(const guint8* bytes, guint count) {
  for (guint i = 0; i < count; ++i) {
    if (bytes[i] != FILL) {
      return FALSE;
    }
  }
  return TRUE;
}

/* A text of at most `size` bytes from a fixed field, never read past it. */
static const char* field_text(const packet_t* p, const char* field, size_t size) {
  size_t n = 0;
  while (n < size && field[n] != '\0') {
    ++n;
  }
  return wmem_strndup(p->pinfo->pool, field, n);
}

static proto_tree* record_tree(const packet_t* p, gint start, gint length, const char* format,
                               guint index) {
  clamp(p, &start, &length);
  return proto_tree_add_subtree_format(p->tree, p->tvb, start, length, ett_record, NULL, format,
                                       index);
}

static proto_tree* part_tree(const packet_t* p, gint start, gint length, const char* name) {
  clamp(p, &start, &length);
  return proto_tree_add_subtree(p->tree, p->tvb, start, length, ett_record, NULL, name);
}

/* ---- Shared record layouts ---- */

static void card_fields(const packet_t* p, proto_tree* t, gint at, const CardRecord* card) {
  add_uint64(p, t, hf_card_number, at, 5, (guint64)card->cardNumber);
  add_string(p, t, hf_card_password, at + 5, 4,
             field_text(p, card->password, sizeof card->password));
  add_uint(p, t, hf_card_year, at + 9, 1, (guint32)card->year);
  add_uint(p, t, hf_card_month, at + 10, 1, card->month);
  add_uint(p, t, hf_card_day, at + 11, 1, card->day);
  add_uint(p, t, hf_card_hour, at + 12, 1, card->hour);
  add_uint(p, t, hf_card_param, at + 13, 1, card->param);
  const guint8 flags[8] = {card->flag0, card->flag1, card->flag2, card->flag3,
                           card->flag4, 0,           card->flag6, card->flag7};
  for (int bit = 0; bit < 8; ++bit) {
    if (bit != 5) {
      add_bool(p, t, hf_card_flag[bit], at + 14, 1, flags[bit] != 0);
    }
  }
}

static void group_fields(const packet_t* p, proto_tree* t, gint at, const MultiCardGroup* g) {
  add_uint(p, t, hf_group_number, at, 1, g->groupNumber);
  add_uint(p, t, hf_group_param1, at + 1, 1, g->param1);
  for (int i = 0; i < 5; ++i) {
    int64_t number;
    memcpy(&number, (const guint8*)g + offsetof(MultiCardGroup, cardNumbers) + 8 * (size_t)i,
           sizeof number);
    add_int64(p, t, hf_group_card_number, at + 4 + 5 * i, 5, number);
  }
  add_uint(p, t, hf_group_param2, at + 29, 1, g->param2);
  add_bool(p, t, hf_group_enabled, at + 31, 1, g->enabled != 0);
  const guint8 flags[5] = {g->flag0, g->flag1, g->flag2, g->flag3, g->flag4};
  for (int bit = 0; bit < 5; ++bit) {
    add_bool(p, t, hf_group_flag[bit], at + 3, 1, flags[bit] != 0);
  }
}

static void schedule_fields(const packet_t* p, proto_tree* t, gint at, const WorkTimeSchedule* s) {
  add_uint(p, t, hf_schedule_param0, at, 1, s->param0);
  add_uint(p, t, hf_schedule_param1, at + 1, 1, s->param1);
  for (int j = 0; j < 6; ++j) {
    const WorkTimePeriod* period = &s->periods[j];
    const gint pa = at + 2 + 5 * j;
    add_uint(p, t, hf_period_start_hour, pa + 1, 1, period->startHour);
    add_uint(p, t, hf_period_start_minute, pa + 2, 1, period->startMinute);
    add_uint(p, t, hf_period_end_hour, pa + 3, 1, period->endHour);
    add_uint(p, t, hf_period_end_minute, pa + 4, 1, period->endMinute);
  }
}

/* The 60-byte configuration record in the library's layout (words low byte first). */
static void config_fields(const packet_t* p, const guint8* record, gboolean with_captured) {
  proto_tree* t = part_tree(p, HEAD, (gint)p->length - HEAD, "Configuration");
  if (with_captured) {
    add_bool(p, t, hf_config_captured, HEAD, 0, record[39] == 0);
  }
  add_uint(p, t, hf_config_lead, HEAD, 1, record[0]);
  add_bytes(p, t, hf_config_field4, HEAD + 1, 4, record + 1, 4);
  add_uint(p, t, hf_config_word1, HEAD + 5, 2, (guint32)(record[5] | record[6] << 8));
  add_uint(p, t, hf_config_word2, HEAD + 7, 2, (guint32)(record[7] | record[8] << 8));
  add_bytes(p, t, hf_config_block30, HEAD + 9, 30, record + 9, 30);
  add_bytes(p, t, hf_config_block20, HEAD + 40, 20, record + 40, 20);
}

static void mode_fields(const packet_t* p, gint at, const guint8* settings) {
  for (int i = 0; i < 5; ++i) {
    add_uint(p, p->tree, hf_mode_setting, at + i, 1, settings[i]);
  }
}

static void clock_fields(const packet_t* p, gint at, gint length, const guint values[6]) {
  proto_tree* t = part_tree(p, at, length, "Clock");
  const int fields[6] = {hf_clock_year, hf_clock_month,  hf_clock_day,
                         hf_clock_hour, hf_clock_minute, hf_clock_second};
  for (int i = 0; i < 6; ++i) {
    add_uint(p, t, fields[i], at, length, values[i]);
  }
}

static void control_fields(const packet_t* p, gint at, guint8 command, const guint8* args) {
  add_uint(p, p->tree, hf_control_command, at, 1, command & 0x7F);
  for (int i = 0; i < 3; ++i) {
    add_uint(p, p->tree, hf_control_argument, at + 1 + i, 1, args[i]);
  }
}

/* ---- Device packets, through the library ---- */

static void device_events(packet_t* p, guint8* work) {
  p->family = "events";
  if (!need(p, HEAD + 1, "the record count")) {
    return;
  }
  const gboolean legacy = p->bytes[2] == LEGACY_TYPE;
  const guint first = legacy ? 86 : 27;
  const guint held = p->length >= first ? (p->length - first) / 16 : 0;
  const guint count = work[HEAD];
  add_uint(p, p->tree, hf_event_count, HEAD, 1, count);
  if (count > held) {
    expert_add_info_format(p->pinfo, p->top, &ei_length,
                           "the count announces %u records, the packet holds %u; decoding those",
                           count, held);
    work[HEAD] = (guint8)held;
  }
  /* GetEvents hands the records out last to first; they are shown in packet order. */
  EventRecord* records = wmem_alloc0_array(p->pinfo->pool, EventRecord, 256);
  gboolean decoded[256] = {FALSE};
  EventRecord event;
  memset(&event, 0, sizeof event);
  for (int calls = 0; calls < 256 && GetEvents(work, &event); ++calls) {
    records[work[HEAD]] = event;
    decoded[work[HEAD]] = TRUE;
  }
  for (guint k = 0; k < 256; ++k) {
    if (!decoded[k]) {
      continue;
    }
    const EventRecord* e = &records[k];
    const gint at = (gint)(first + 16 * k);
    proto_tree* t = record_tree(p, at, 16, "Event %u", k);
    add_uint(p, t, hf_event_index, at, 0, k);
    add_tail(p, t, hf_event_bytes, (guint)at, 16);
    add_uint(p, t, hf_event_kind, at, 1, e->kind);
    if (e->kind == 0 || e->kind == 3 || e->kind == 4) {
      add_uint64(p, t, hf_event_number, at, 16, e->number);
    }
    if (e->kind == 0 || e->kind == 1 || e->kind == 3) {
      add_uint(p, t, hf_event_code, at, 16, e->code);
    }
    const int16_t values[8] = {e->value1, e->value2, e->value3, e->value4,
                               e->value5, e->value6, e->value7, e->value8};
    for (int i = 0; i < 8; ++i) {
      add_int(p, t, hf_event_value, at, 16, values[i]);
    }
    add_int64(p, t, hf_event_card_number, at, 16, e->cardNumber);
    add_string(p, t, hf_event_digits, at, 16, field_text(p, e->digits, sizeof e->digits));
  }
}

static void device_cards(packet_t* p, const guint8* work) {
  p->family = "cards";
  const guint room = (p->length - HEAD) / 15 + 1;
  CardRecord* cards = wmem_alloc0_array(p->pinfo->pool, CardRecord, room);
  const int32_t n = GetCards(work, p->length, cards);
  for (int32_t i = 0; i < n; ++i) {
    const gint at = HEAD + 15 * i;
    card_fields(p, record_tree(p, at, 15, "Card %u", (guint)i), at, &cards[i]);
  }
  if ((p->length - HEAD) % 15 != 0) {
    note(p, &ei_length, "a partial card record at the end is ignored");
  }
}

static void device_groups(packet_t* p, const guint8* work) {
  p->family = "groups";
  MultiCardGroup groups[32];
  const int32_t n = GetMultiCards(work, p->length, groups);
  for (int32_t i = 0; i < n; ++i) {
    /* Group numbers 32 and up are skipped: the record a group came from is not known. */
    group_fields(p, record_tree(p, HEAD, 0, "Group %u", (guint)i), HEAD, &groups[i]);
  }
  const guint records = (p->length - HEAD) / 32;
  if (records > 32) {
    note(p, &ei_note, "only the first 32 group records are read");
  }
  if ((guint)n < (records < 32 ? records : 32)) {
    note(p, &ei_note, "groups numbered 32 or more are skipped");
  }
}

static void device_schedules(packet_t* p, const guint8* work) {
  p->family = "schedules";
  WorkTimeSchedule schedules[16];
  const int32_t n = GetWorkTime(work, p->length, schedules);
  for (int32_t i = 0; i < n; ++i) {
    const gint at = HEAD + 32 * i;
    schedule_fields(p, record_tree(p, at, 32, "Schedule %u", (guint)i), at, &schedules[i]);
  }
  if ((p->length - HEAD) / 32 > 16) {
    note(p, &ei_note, "only the first 16 schedule records are read");
  }
}

static void device_configuration(packet_t* p, const guint8* work) {
  const gboolean firmware = p->bytes[0] == 0xFC;
  const gboolean legacy = p->bytes[2] == LEGACY_TYPE;
  p->family = firmware ? "firmware" : "configuration";
  if (firmware) {
    if (!legacy) {
      need(p, 90, "the firmware version digits");
    }
    add_int(p, p->tree, hf_firmware, HEAD, 0, GetFirmwareVersion(work));
  }
  const uint8_t* record = ReadNetConfigration();
  if (record[39] != 0) {
    note(p, &ei_note, "the library captured no configuration from this packet");
    return;
  }
  if (!legacy && p->length < 86) {
    note(p, &ei_length, "configuration bytes past the packet's end read as 0");
  }
  config_fields(p, record, TRUE);
}

static void device_voice_request(packet_t* p, guint8* work) {
  p->family = "voice-request";
  if (p->bytes[2] != LEGACY_TYPE) {
    note(p, &ei_note,
         "a current device's 0xF2 is not a voice data request; the library leaves it as is");
    return;
  }
  /* The sound buffer sits at an odd offset: its 16-bit elements are read byte by byte. */
  guint8 elements[4];
  memcpy(elements, GetSoundBuffer(work), sizeof elements);
  const guint count = (guint)(elements[0] | elements[1] << 8);
  add_uint(p, p->tree, hf_voice_count, 27, 2, count);
  add_uint(p, p->tree, hf_voice_request, 29, 2, (guint)(elements[2] | elements[3] << 8));
  add_tail(p, p->tree, hf_voice_data, 29, count);
}

static void device_mode(packet_t* p, const guint8* work) {
  const gboolean reader = p->bytes[0] == 0xEE;
  p->family = reader ? "reader-mode" : "finger-mode";
  if (!need(p, 31, "the mode block")) {
    return;
  }
  ModeBlock block;
  memset(&block, 0, sizeof block);
  if (reader ? GetReaderMoton(work, &block) : GetFingerMoton(work, &block)) {
    mode_fields(p, HEAD, block.settings);
  }
}

static void device_template(packet_t* p, const guint8* work) {
  const gboolean upload = p->bytes[0] == 0xE8;
  p->family = upload ? "template-upload" : "template-request";
  if (!need(p, upload ? 156 : 33, upload ? "the template" : "the template number")) {
    return;
  }
  FingerDataRecord record;
  memset(&record, 0, sizeof record);
  GetFingerData(work, &record);
  add_uint(p, p->tree, hf_template_lead_byte, HEAD, 1, record.leadByte);
  add_uint(p, p->tree, hf_template_low_bits, 27, 1, record.lowBits);
  if (upload) {
    add_bytes(p, p->tree, hf_template_data, 28, 128, record.templateData,
              (gint)sizeof record.templateData);
  } else {
    add_uint(p, p->tree, hf_template_low_nibble, 28, 1, record.lowNibble);
    uint32_t number;
    memcpy(&number, (const guint8*)&record + offsetof(FingerDataRecord, number), sizeof number);
    add_uint(p, p->tree, hf_template_number, 29, 4, number);
  }
}

static void device_packet(packet_t* p, guint8* work) {
  switch (p->bytes[0]) {
    case 0x01: /* our devices' event report */
      device_events(p, work);
      return;
    case 0x02: /* a plain poll: the head alone */
      p->family = "poll";
      return;
    case 0xF8:
      device_cards(p, work);
      return;
    case 0xF6:
      device_groups(p, work);
      return;
    case 0xF4:
      device_schedules(p, work);
      return;
    case 0xFA:
    case 0xFC:
    case 0xFF:
      device_configuration(p, work);
      return;
    case 0xF2:
      device_voice_request(p, work);
      return;
    case 0xEE:
    case 0xEC:
      device_mode(p, work);
      return;
    case 0xE8:
    case 0xEA:
      device_template(p, work);
      return;
    case 0xF9:
      p->family = "finger-control-report";
      if (need(p, HEAD + 1, "the report byte")) {
        add_int(p, p->tree, hf_finger_report, HEAD, 1, GetFingerControl(work));
      }
      return;
    default:
      p->family = "unknown";
      add_tail(p, p->tree, hf_payload, HEAD, p->length - HEAD);
      return;
  }
}

/* ---- Host replies, from their wire layouts ---- */

static void reply_cards(packet_t* p) {
  p->family = "cards";
  const guint n = (p->length - HEAD) / 15;
  for (guint k = 0; k < n; ++k) {
    const gint at = (gint)(HEAD + 15 * k);
    const guint8* r = p->bytes + at;
    CardRecord card;
    memset(&card, 0, sizeof card);
    card.cardNumber = (int64_t)big_endian(r, 5);
    packed_digits(r + 5, card.password);
    card.year = (int16_t)bcd(r[9]);
    card.month = (uint8_t)bcd(r[10]);
    card.day = (uint8_t)bcd(r[11]);
    card.hour = (uint8_t)bcd(r[12]);
    card.param = r[13];
    card.flag0 = r[14] & 1;
    card.flag1 = (r[14] >> 1) & 1;
    card.flag2 = (r[14] >> 2) & 1;
    card.flag3 = (r[14] >> 3) & 1;
    card.flag4 = (r[14] >> 4) & 1;
    card.flag6 = (r[14] >> 6) & 1;
    card.flag7 = (r[14] >> 7) & 1;
    card_fields(p, record_tree(p, at, 15, "Card %u", k), at, &card);
  }
  if ((p->length - HEAD) % 15 != 0) {
    note(p, &ei_length, "a partial card record at the end is ignored");
  }
}

static void reply_groups(packet_t* p) {
  p->family = "groups";
  const guint n = (p->length - HEAD) / 32;
  for (guint k = 0; k < n; ++k) {
    const gint at = (gint)(HEAD + 32 * k);
    const guint8* r = p->bytes + at;
    MultiCardGroup g;
    memset(&g, 0, sizeof g);
    g.groupNumber = r[0];
    g.param1 = r[1];
    const guint filled = r[2] < 5 ? r[2] : 5;
    for (guint i = 0; i < 5; ++i) {
      const int64_t number = i < filled ? (int64_t)big_endian(r + 4 + 5 * i, 5) : -1;
      memcpy((guint8*)&g + offsetof(MultiCardGroup, cardNumbers) + 8 * i, &number, sizeof number);
    }
    g.flag0 = r[3] & 1;
    g.flag1 = (r[3] >> 1) & 1;
    g.flag2 = (r[3] >> 2) & 1;
    g.flag3 = (r[3] >> 3) & 1;
    g.flag4 = (r[3] >> 4) & 1;
    g.param2 = r[29];
    g.enabled = r[31] == 0xA4;
    group_fields(p, record_tree(p, at, 32, "Group %u", k), at, &g);
    if (r[0] >= 32) {
      note(p, &ei_note, "a group record numbered 32 or more; devices hold groups 0..31");
    }
  }
  if (n > 32) {
    note(p, &ei_note, "more than 32 group records");
  }
}

static void reply_schedules(packet_t* p) {
  p->family = "schedules";
  const guint n = (p->length - HEAD) / 32;
  for (guint k = 0; k < n; ++k) {
    const gint at = (gint)(HEAD + 32 * k);
    const guint8* r = p->bytes + at;
    WorkTimeSchedule s;
    memset(&s, 0, sizeof s);
    s.param0 = r[0];
    s.param1 = r[1];
    for (guint j = 0; j < 6; ++j) {
      const guint8* q = r + 2 + 5 * j;
      const gboolean present = q[0] == 0xA5; /* period marker */
      s.periods[j].startHour = present ? (uint8_t)bcd(q[1]) : 255;
      s.periods[j].startMinute = present ? (uint8_t)bcd(q[2]) : 255;
      s.periods[j].endHour = present ? (uint8_t)bcd(q[3]) : 255;
      s.periods[j].endMinute = present ? (uint8_t)bcd(q[4]) : 255;
    }
    schedule_fields(p, record_tree(p, at, 32, "Schedule %u", k), at, &s);
  }
  if (n > 16) {
    note(p, &ei_note, "more than 16 schedule records");
  }
}

static void reply_passwords(packet_t* p, const char* family) {
  p->family = family;
  if (!need(p, 66, "the ten password fields")) {
    return;
  }
  for (gint i = 0; i < 10; ++i) {
    char digits[9];
    packed_digits(p->bytes + HEAD + 4 * i, digits);
    add_string(p, p->tree, hf_password, HEAD + 4 * i, 4, wmem_strdup(p->pinfo->pool, digits));
  }
}

/* The configuration record from a legacy echo at 27..85 (words high byte first on the wire). */
static void legacy_echo(const guint8* bytes, guint8* record) {
  memset(record, 0, CONFIG_LENGTH);
  record[0] = bytes[35];
  memcpy(record + 1, bytes + 31, 4);
  record[5] = bytes[28];
  record[6] = bytes[27];
  record[7] = bytes[30];
  record[8] = bytes[29];
  memcpy(record + 9, bytes + 36, 30);
  memcpy(record + 40, bytes + 66, 20);
}

static void reply_configuration(packet_t* p) {
  p->family = "configuration";
  if (!need(p, 86, "the configuration")) {
    return;
  }
  guint8 record[CONFIG_LENGTH];
  if (p->bytes[2] == LEGACY_TYPE) {
    legacy_echo(p->bytes, record);
  } else {
    memcpy(record, p->bytes + HEAD, CONFIG_LENGTH);
    guint8 swap = record[5];
    record[5] = record[6];
    record[6] = swap;
    swap = record[7];
    record[7] = record[8];
    record[8] = swap;
    if (record[39] != 0) {
      note(p, &ei_note, "byte 65 is not 0");
    }
  }
  config_fields(p, record, FALSE);
}

/* A legacy reply: byte 26 = 1, the configuration echo and the controller frame at 86..101,
 * whose opcode names the command. Opcodes 0x80 and 0x90 are shared by a control command with
 * the command values 0x00 and 0x10; the data bytes the clock and the reader mode fill tell
 * them apart. */
static void legacy_frame(packet_t* p) {
  const guint8* b = p->bytes;
  guint8 record[CONFIG_LENGTH];
  legacy_echo(b, record);
  config_fields(p, record, FALSE);

  guint sum = 0;
  for (guint i = 88; i < 99; ++i) {
    sum += b[i];
  }
  proto_tree* t = part_tree(p, 86, 16, "Controller frame");
  add_uint(p, t, hf_frame_opcode, 88, 1, b[88]);
  add_bytes(p, t, hf_frame_data, 89, 10, b + 89, 10);
  add_uint(p, t, hf_frame_sum, 99, 1, b[99]);
  add_bool(p, t, hf_frame_sum_ok, 99, 1, b[99] == (sum & 0xFF));
  add_bool(p, t, hf_frame_framing_ok, 86, 16,
           b[86] == 0x5A && b[87] == 0x5A && b[100] == 0xA5 && b[101] == 0xA5);
  if (b[HEAD] != 1) {
    note(p, &ei_note, "byte 26 of a legacy frame reply is not 1");
  }
  const guint8 op = b[88];
  const guint8* d = b + 89;
  if (op == 0xB0 && all_fill(d + 1, 9)) {
    p->family = "extra-output";
    add_uint(p, p->tree, hf_output_value, 89, 1, d[0]);
  } else if (op == 0x80 && !all_fill(d + 3, 3)) {
    p->family = "clock";
    const guint values[6] = {bcd(d[0]), bcd(d[1]), bcd(d[2]), bcd(d[3]), bcd(d[4]), bcd(d[5])};
    clock_fields(p, 89, 6, values);
  } else if (op == 0x90 && !all_fill(d + 3, 2)) {
    p->family = "reader-mode";
    /* The first two settings travel as decimal numbers. */
    const guint8 settings[5] = {(guint8)bcd(d[0]), (guint8)bcd(d[1]), d[2], d[3], d[4]};
    mode_fields(p, 89, settings);
  } else if ((op & 0x80) != 0) {
    p->family = "control";
    control_fields(p, 88, op, d);
  } else {
    p->family = "legacy-frame";
  }
}

/* Commands to a current device: byte 26 = 1 and the command byte at 27. */
static void current_command(packet_t* p) {
  const guint8* b = p->bytes;
  const guint8 command = b[27];
  if (b[HEAD] != 1) {
    note(p, &ei_note, "byte 26 of a command is not 1");
  }
  if (command == 0x00) {
    p->family = "clock";
    const guint values[6] = {bcd(b[34]), bcd(b[33]), bcd(b[32]),
                             bcd(b[30]), bcd(b[29]), bcd(b[28])};
    clock_fields(p, 28, 7, values);
    add_uint(p, p->tree, hf_clock_weekday, 31, 1, b[31]); /* plain number, Sunday 0 */
  } else if (command == 0x01) {
    p->family = "extra-output";
    add_uint(p, p->tree, hf_output_value, 28, 1, b[28]);
  } else if ((command & 0x80) != 0) {
    p->family = "control";
    control_fields(p, 27, command, b + 28);
  } else {
    p->family = "unknown";
    add_tail(p, p->tree, hf_payload, HEAD, p->length - HEAD);
  }
}

/* Code 0xF9 covers every command to a device: the length and the generation tell which. */
static void control_code(packet_t* p) {
  const gboolean legacy = p->bytes[2] == LEGACY_TYPE;
  if (p->length == 27 && legacy) {
    p->family = "echo"; /* the legacy echo to a network module packet (0xFA) */
  } else if (p->length == 32) {
    p->family = "finger-control";
    add_uint(p, p->tree, hf_finger_selector, 26, 1, p->bytes[26]);
    add_uint(p, p->tree, hf_finger_command, 27, 1, p->bytes[27] & 0x7F);
    add_uint(p, p->tree, hf_finger_number, 28, 4, (guint32)big_endian(p->bytes + 28, 4));
  } else if (p->length == 102 && legacy) {
    legacy_frame(p);
  } else if (p->length == 41 && !legacy) {
    current_command(p);
  } else {
    p->family = "unknown";
    add_tail(p, p->tree, hf_payload, HEAD, p->length - HEAD);
    expert_add_info_format(p->pinfo, p->top, &ei_length,
                           "no command of code 0xF9 is %u bytes long for a %s device", p->length,
                           legacy ? "legacy" : "current");
  }
}

static void reply_mode(packet_t* p, const char* family) {
  p->family = family;
  if (need(p, 31, "the mode block")) {
    mode_fields(p, HEAD, p->bytes + HEAD);
  }
}

static void reply_packet(packet_t* p) {
  switch (p->bytes[0]) {
    case 0xF7:
      reply_cards(p);
      return;
    case 0xF5:
      reply_groups(p);
      return;
    case 0xF3:
      reply_schedules(p);
      return;
    case 0xF1:
      /* Device passwords and the voice data reply share the code; passwords are 66 bytes. */
      if (p->length == 66 || p->length < 29) {
        reply_passwords(p, "device-passwords");
      } else {
        p->family = "voice-data";
        add_uint(p, p->tree, hf_voice_request, 27, 2, (guint32)big_endian(p->bytes + 27, 2));
        add_tail(p, p->tree, hf_voice_data, 29, p->length - 29);
      }
      return;
    case 0xE7:
      reply_passwords(p, "finger-passwords");
      return;
    case 0xFE:
      reply_configuration(p);
      return;
    case 0xFD:
      p->family = "read";
      return;
    case 0x00:
      p->family = "echo";
      return;
    case 0xF9:
      control_code(p);
      return;
    case 0xEB:
      p->family = "template";
      if (need(p, 154, "the template")) {
        add_tail(p, p->tree, hf_template_data, HEAD, 128);
      }
      return;
    case 0xED:
      reply_mode(p, "finger-mode");
      return;
    case 0xEF:
      reply_mode(p, "reader-mode");
      return;
    default:
      p->family = "unknown";
      add_tail(p, p->tree, hf_payload, HEAD, p->length - HEAD);
      return;
  }
}

/* ---- The dissector ---- */

static int dissect_velkor(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree, void* data _U_) {
  const guint length = tvb_captured_length(tvb);
  col_set_str(pinfo->cinfo, COL_PROTOCOL, "Velkor");
  col_clear(pinfo->cinfo, COL_INFO);

  proto_item* top = proto_tree_add_item(tree, proto_velkor, tvb, 0, -1, ENC_NA);
  proto_tree* velkor = proto_item_add_subtree(top, ett_velkor);
  packet_t p = {tvb, pinfo, velkor, top, tvb_memdup(pinfo->pool, tvb, 0, length), length, NULL};

  /* The library's own verdict, on a copy large enough for everything it may touch. */
  guint8* work = wmem_alloc0(pinfo->pool, length > WORK_BYTES ? length : WORK_BYTES);
  if (length > 0) {
    memcpy(work, p.bytes, length);
  }
  const int32_t prepare = PreparePackage(work, length);

  if (length < HEAD) {
    add_string(&p, velkor, hf_key, 0, 0, "none");
    add_string(&p, velkor, hf_direction, 0, 0, "unknown");
    add_int(&p, velkor, hf_prepare, 0, 0, prepare);
    add_string(&p, velkor, hf_family, 0, 0, "short");
    expert_add_info(pinfo, top, &ei_short);
    col_add_fstr(pinfo->cinfo, COL_INFO, "%u bytes: shorter than a packet head", length);
    return (int)length;
  }

  opening_t incoming, outgoing;
  open_block(p.bytes, kIncomingKeyText, &incoming);
  open_block(p.bytes, kOutgoingKeyText, &outgoing);
  const gboolean in = opens(&incoming);
  const gboolean out = !in && opens(&outgoing);
  const gboolean reconnect = !in && !out && is_reconnect(p.bytes, length);
  const char* key = in ? "incoming" : out ? "outgoing" : reconnect ? "unsealed" : "none";
  const char* direction = in          ? "device-to-host"
                          : out       ? "host-to-device"
                          : reconnect ? "unsealed"
                                      : "unknown";
  add_string(&p, velkor, hf_key, BLOCK, 16, key);
  add_string(&p, velkor, hf_direction, BLOCK, 16, direction);
  add_int(&p, velkor, hf_prepare, 0, 0, prepare);
  proto_tree_add_item(velkor, hf_code, tvb, 0, 1, ENC_NA);
  proto_tree_add_item(velkor, hf_byte1, tvb, 1, 1, ENC_NA);
  proto_tree_add_item(velkor, hf_type, tvb, 2, 1, ENC_NA);
  add_string(&p, velkor, hf_generation, 2, 1, p.bytes[2] == LEGACY_TYPE ? "legacy" : "current");
  proto_tree_add_item(velkor, hf_serial, tvb, 3, 7, ENC_NA);

  proto_tree* block =
      proto_tree_add_subtree(velkor, tvb, BLOCK, 16, ett_block, NULL, "Security block");
  const opening_t* opened = in ? &incoming : out ? &outgoing : NULL;
  if (opened != NULL) {
    add_bytes(&p, block, hf_free, BLOCK + 8, 6, opened->plain + 8, 6);
    add_uint(&p, block, hf_check, BLOCK + 14, 2,
             (guint32)(opened->plain[14] << 8 | opened->plain[15]));
    add_bool(&p, block, hf_check_ok, BLOCK + 14, 2, TRUE);
  } else if (!reconnect) {
    /* A block whose copy of type and serial is right under a key text but whose check value
     * is not was sealed under that key and then spoiled; otherwise no key text opens it. */
    const opening_t* copied = incoming.copy ? &incoming : outgoing.copy ? &outgoing : NULL;
    add_bool(&p, block, hf_check_ok, BLOCK + 14, 2, FALSE);
    if (copied != NULL) {
      add_uint(&p, block, hf_check, BLOCK + 14, 2,
               (guint32)(copied->plain[14] << 8 | copied->plain[15]));
      expert_add_info_format(pinfo, top, &ei_check, "wrong check value under the %s key text",
                             copied == &incoming ? "incoming" : "outgoing");
    }
    expert_add_info(pinfo, top, &ei_no_key);
  }

  p.tree = proto_tree_add_subtree(velkor, tvb, HEAD, (gint)(length - HEAD), ett_payload, NULL,
                                  "Payload");
  if (in) {
    if (prepare == 0) {
      p.family = "dropped";
      note(&p, &ei_note,
           p.bytes[0] == 0 ? "the library drops an accepted packet whose command code is 0"
                           : "the library drops a legacy voice data request below 29 bytes");
    } else {
      device_packet(&p, work);
    }
  } else if (out) {
    reply_packet(&p);
  } else if (reconnect) {
    p.family = "reconnect";
  } else {
    p.family = "sealed";
  }
  add_string(&p, velkor, hf_family, 0, 0, p.family);
  proto_item_append_text(top, ", %s, %s, code 0x%02X", direction, p.family, p.bytes[0]);
  col_add_fstr(pinfo->cinfo, COL_INFO, "%s %s (code 0x%02X, serial %s)", direction, p.family,
               p.bytes[0], tvb_bytes_to_str(pinfo->pool, tvb, 3, 7));
  return (int)length;
}

/* Other ports: a datagram of at least a head whose block opens under either key text, or the
 * unsealed reconnect packet. */
static gboolean dissect_velkor_heur(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree,
                                    void* data) {
  const guint length = tvb_captured_length(tvb);
  if (length < HEAD) {
    return FALSE;
  }
  guint8 head[HEAD];
  tvb_memcpy(tvb, head, 0, HEAD);
  opening_t o;
  open_block(head, kIncomingKeyText, &o);
  if (!opens(&o)) {
    open_block(head, kOutgoingKeyText, &o);
    if (!opens(&o) && !is_reconnect(head, length)) {
      return FALSE;
    }
  }
  dissect_velkor(tvb, pinfo, tree, data);
  return TRUE;
}

#define FIELD(hf, name, abbrev, type, base, blurb)      \
  {                                                     \
    &hf, {                                              \
      name, abbrev, type, base, NULL, 0x0, blurb, HFILL \
    }                                                   \
  }

static void proto_register_velkor(void) {
  static hf_register_info hf[] = {
      FIELD(hf_code, "Command code", "velkor.code", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_byte1, "Byte 1", "velkor.byte1", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_type, "Device type", "velkor.type", FT_UINT8, BASE_DEC,
            "0: a legacy device, otherwise a current one"),
      FIELD(hf_generation, "Generation", "velkor.generation", FT_STRING, BASE_NONE, NULL),
      FIELD(hf_serial, "Serial", "velkor.serial", FT_BYTES, BASE_NONE, NULL),
      FIELD(hf_key, "Key text", "velkor.key", FT_STRING, BASE_NONE,
            "The link key text that opens the security block"),
      FIELD(hf_direction, "Direction", "velkor.direction", FT_STRING, BASE_NONE, NULL),
      FIELD(hf_prepare, "PreparePackage", "velkor.prepare", FT_INT32, BASE_DEC,
            "What the link library's PreparePackage returns (0: it drops the packet)"),
      FIELD(hf_family, "Family", "velkor.family", FT_STRING, BASE_NONE, NULL),
      FIELD(hf_free, "Free bytes", "velkor.free", FT_BYTES, BASE_NONE,
            "Block bytes 8..13, carried into replies"),
      FIELD(hf_check, "Check value", "velkor.check", FT_UINT16, BASE_HEX, NULL),
      FIELD(hf_check_ok, "Block opens", "velkor.check_ok", FT_BOOLEAN, BASE_NONE, NULL),
      FIELD(hf_payload, "Payload", "velkor.payload", FT_BYTES, BASE_NONE, NULL),

      FIELD(hf_event_count, "Record count", "velkor.event.count", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_event_index, "Index", "velkor.event.index", FT_UINT32, BASE_DEC, NULL),
      FIELD(hf_event_bytes, "Record", "velkor.event.bytes", FT_BYTES, BASE_NONE, NULL),
      FIELD(hf_event_kind, "Kind", "velkor.event.kind", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_event_number, "Number", "velkor.event.number", FT_UINT64, BASE_DEC, NULL),
      FIELD(hf_event_code, "Code", "velkor.event.code", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_event_value, "Value", "velkor.event.value", FT_INT16, BASE_DEC,
            "Values 1..8 in order; -1: none"),
      FIELD(hf_event_card_number, "Card number", "velkor.event.card_number", FT_INT64, BASE_DEC,
            "-1: none"),
      FIELD(hf_event_digits, "Digits", "velkor.event.digits", FT_STRING, BASE_NONE, NULL),

      FIELD(hf_card_number, "Card number", "velkor.card.number", FT_UINT64, BASE_DEC, NULL),
      FIELD(hf_card_password, "Password", "velkor.card.password", FT_STRING, BASE_NONE, NULL),
      FIELD(hf_card_year, "Year", "velkor.card.year", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_card_month, "Month", "velkor.card.month", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_card_day, "Day", "velkor.card.day", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_card_hour, "Hour", "velkor.card.hour", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_card_param, "Parameter", "velkor.card.param", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_card_flag[0], "Flag 0", "velkor.card.flag0", FT_BOOLEAN, BASE_NONE, NULL),
      FIELD(hf_card_flag[1], "Flag 1", "velkor.card.flag1", FT_BOOLEAN, BASE_NONE, NULL),
      FIELD(hf_card_flag[2], "Flag 2", "velkor.card.flag2", FT_BOOLEAN, BASE_NONE, NULL),
      FIELD(hf_card_flag[3], "Flag 3", "velkor.card.flag3", FT_BOOLEAN, BASE_NONE, NULL),
      FIELD(hf_card_flag[4], "Flag 4", "velkor.card.flag4", FT_BOOLEAN, BASE_NONE, NULL),
      FIELD(hf_card_flag[6], "Flag 6", "velkor.card.flag6", FT_BOOLEAN, BASE_NONE, NULL),
      FIELD(hf_card_flag[7], "Flag 7", "velkor.card.flag7", FT_BOOLEAN, BASE_NONE, NULL),

      FIELD(hf_group_number, "Group number", "velkor.group.number", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_group_param1, "Parameter 1", "velkor.group.param1", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_group_card_number, "Card number", "velkor.group.card_number", FT_INT64, BASE_DEC,
            "-1: an empty slot"),
      FIELD(hf_group_param2, "Parameter 2", "velkor.group.param2", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_group_enabled, "Enabled", "velkor.group.enabled", FT_BOOLEAN, BASE_NONE, NULL),
      FIELD(hf_group_flag[0], "Flag 0", "velkor.group.flag0", FT_BOOLEAN, BASE_NONE, NULL),
      FIELD(hf_group_flag[1], "Flag 1", "velkor.group.flag1", FT_BOOLEAN, BASE_NONE, NULL),
      FIELD(hf_group_flag[2], "Flag 2", "velkor.group.flag2", FT_BOOLEAN, BASE_NONE, NULL),
      FIELD(hf_group_flag[3], "Flag 3", "velkor.group.flag3", FT_BOOLEAN, BASE_NONE, NULL),
      FIELD(hf_group_flag[4], "Flag 4", "velkor.group.flag4", FT_BOOLEAN, BASE_NONE, NULL),

      FIELD(hf_schedule_param0, "Parameter 0", "velkor.schedule.param0", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_schedule_param1, "Parameter 1", "velkor.schedule.param1", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_period_start_hour, "Start hour", "velkor.schedule.start_hour", FT_UINT8, BASE_DEC,
            "255: an absent period"),
      FIELD(hf_period_start_minute, "Start minute", "velkor.schedule.start_minute", FT_UINT8,
            BASE_DEC, NULL),
      FIELD(hf_period_end_hour, "End hour", "velkor.schedule.end_hour", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_period_end_minute, "End minute", "velkor.schedule.end_minute", FT_UINT8, BASE_DEC,
            NULL),

      FIELD(hf_config_captured, "Captured", "velkor.config.captured", FT_BOOLEAN, BASE_NONE,
            "The link library took the configuration from this packet"),
      FIELD(hf_config_lead, "Lead byte", "velkor.config.lead", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_config_field4, "Field 4", "velkor.config.field4", FT_BYTES, BASE_NONE, NULL),
      FIELD(hf_config_word1, "Word 1", "velkor.config.word1", FT_UINT16, BASE_DEC, NULL),
      FIELD(hf_config_word2, "Word 2", "velkor.config.word2", FT_UINT16, BASE_DEC, NULL),
      FIELD(hf_config_block30, "Block 30", "velkor.config.block30", FT_BYTES, BASE_NONE, NULL),
      FIELD(hf_config_block20, "Block 20", "velkor.config.block20", FT_BYTES, BASE_NONE, NULL),
      FIELD(hf_firmware, "Firmware version", "velkor.firmware", FT_INT32, BASE_DEC, NULL),

      FIELD(hf_clock_year, "Year", "velkor.clock.year", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_clock_month, "Month", "velkor.clock.month", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_clock_day, "Day", "velkor.clock.day", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_clock_hour, "Hour", "velkor.clock.hour", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_clock_minute, "Minute", "velkor.clock.minute", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_clock_second, "Second", "velkor.clock.second", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_clock_weekday, "Weekday", "velkor.clock.weekday", FT_UINT8, BASE_DEC, "Sunday 0"),
      FIELD(hf_control_command, "Command", "velkor.control.command", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_control_argument, "Argument", "velkor.control.argument", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_output_value, "Value", "velkor.output.value", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_mode_setting, "Setting", "velkor.mode.setting", FT_UINT8, BASE_HEX, NULL),

      FIELD(hf_frame_opcode, "Opcode", "velkor.frame.opcode", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_frame_data, "Data", "velkor.frame.data", FT_BYTES, BASE_NONE, NULL),
      FIELD(hf_frame_sum, "Sum", "velkor.frame.sum", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_frame_sum_ok, "Sum right", "velkor.frame.sum_ok", FT_BOOLEAN, BASE_NONE, NULL),
      FIELD(hf_frame_framing_ok, "Framing right", "velkor.frame.framing_ok", FT_BOOLEAN, BASE_NONE,
            NULL),

      FIELD(hf_template_lead_byte, "Lead byte", "velkor.template.lead_byte", FT_UINT8, BASE_HEX,
            NULL),
      FIELD(hf_template_low_bits, "Low bits", "velkor.template.low_bits", FT_UINT8, BASE_DEC, NULL),
      FIELD(hf_template_low_nibble, "Low nibble", "velkor.template.low_nibble", FT_UINT8, BASE_DEC,
            NULL),
      FIELD(hf_template_number, "Template number", "velkor.template.number", FT_UINT32, BASE_DEC,
            NULL),
      FIELD(hf_template_data, "Template", "velkor.template.data", FT_BYTES, BASE_NONE, NULL),
      FIELD(hf_finger_selector, "Selector", "velkor.finger.selector", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_finger_command, "Command", "velkor.finger.command", FT_UINT8, BASE_HEX, NULL),
      FIELD(hf_finger_number, "Number", "velkor.finger.number", FT_UINT32, BASE_DEC, NULL),
      FIELD(hf_finger_report, "Report", "velkor.finger.report", FT_INT32, BASE_DEC, NULL),
      FIELD(hf_password, "Password", "velkor.password", FT_STRING, BASE_NONE, NULL),
      FIELD(hf_voice_count, "Count", "velkor.voice.count", FT_UINT16, BASE_DEC, NULL),
      FIELD(hf_voice_request, "Request", "velkor.voice.request", FT_UINT16, BASE_HEX, NULL),
      FIELD(hf_voice_data, "Data", "velkor.voice.data", FT_BYTES, BASE_NONE, NULL),
  };
  static gint* ett[] = {&ett_velkor, &ett_block, &ett_payload, &ett_record};
  static ei_register_info ei[] = {
      {&ei_no_key,
       {"velkor.expert.no_key", PI_UNDECODED, PI_WARN,
        "The security block opens under neither link key text", EXPFILL}},
      {&ei_check, {"velkor.expert.check", PI_CHECKSUM, PI_WARN, "Wrong check value", EXPFILL}},
      {&ei_length,
       {"velkor.expert.length", PI_MALFORMED, PI_WARN, "The length does not match the command",
        EXPFILL}},
      {&ei_short,
       {"velkor.expert.short", PI_MALFORMED, PI_ERROR, "Shorter than the 26-byte packet head",
        EXPFILL}},
      {&ei_note, {"velkor.expert.note", PI_PROTOCOL, PI_NOTE, "Remark", EXPFILL}},
  };
  proto_velkor = proto_register_protocol("Velkor device link", "Velkor", "velkor");
  proto_register_field_array(proto_velkor, hf, array_length(hf));
  proto_register_subtree_array(ett, array_length(ett));
  expert_module_t* expert = expert_register_protocol(proto_velkor);
  expert_register_field_array(expert, ei, array_length(ei));
  velkor_handle = register_dissector("velkor", dissect_velkor, proto_velkor);
}

static void proto_reg_handoff_velkor(void) {
  dissector_add_uint_with_preference("udp.port", VELKOR_UDP_PORT, velkor_handle);
  heur_dissector_add("udp", dissect_velkor_heur, "Velkor over UDP (any port)", "velkor_udp",
                     proto_velkor, HEURISTIC_ENABLE);
}

void plugin_register(void) {
  static proto_plugin plugin;
  plugin.register_protoinfo = proto_register_velkor;
  plugin.register_handoff = proto_reg_handoff_velkor;
  proto_register_plugin(&plugin);
}
