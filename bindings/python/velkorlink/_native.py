"""The library's 32 exports and its packed host records, through ctypes.

Every export is bound to its underscore symbol and offered under its C name. The functions here
keep the C argument order but take a ``bytearray`` (or any writable buffer) for the packet and
check, before the call, that the library will not read or write past the buffer or past the
records given: a short buffer, a length beyond the buffer or a record array shorter than the
count raises ``ValueError``, a wrong argument type ``TypeError``.
"""

from __future__ import annotations

import ctypes
import os
import sys
from ctypes import (
    POINTER,
    Structure,
    c_bool,
    c_char,
    c_char_p,
    c_int16,
    c_int32,
    c_int64,
    c_uint8,
    c_uint16,
    c_uint32,
    c_uint64,
    c_void_p,
)
from pathlib import Path
from typing import Any, Optional, Sequence

HEAD_LENGTH = 26
"""Bytes of a packet head: code, type, serial and the security block."""

MIN_BUFFER = 102
"""No packet buffer may be shorter: intake may read up to byte 85, a legacy reply reaches 101."""

MAX_FIXED_REPLY = 1346
"""The longest fixed-format reply, a list of 88 cards; a buffer this long holds every one."""

NET_CONFIG_LENGTH = 60
MAX_CARDS = 88
MAX_GROUPS = 32
MAX_SCHEDULES = 16
PASSWORD_COUNT = 10

CARD_STRIDE = 15
GROUP_STRIDE = 32
SCHEDULE_STRIDE = 32
EVENT_STRIDE = 16
FIRST_EVENT = 27  # current devices
FIRST_FRAME = 86  # legacy devices: the controller frames
VOICE_DATA = 29  # voice data starts at packet byte 29, its count at 25..26


class CardRecord(Structure):
    """One card of the card list (30 bytes)."""

    _pack_ = 1
    _fields_ = [
        ("cardNumber", c_int64),
        ("password", c_char * 9),
        ("year", c_int16),
        ("month", c_uint8),
        ("day", c_uint8),
        ("hour", c_uint8),
        ("param", c_uint8),
        ("flag0", c_uint8),
        ("flag1", c_uint8),
        ("flag2", c_uint8),
        ("flag3", c_uint8),
        ("flag4", c_uint8),
        ("flag7", c_uint8),
        ("flag6", c_uint8),
    ]


class MultiCardGroup(Structure):
    """One multi-card group (49 bytes); a negative card number is an empty slot."""

    _pack_ = 1
    _fields_ = [
        ("groupNumber", c_uint8),
        ("param1", c_uint8),
        ("cardNumbers", c_int64 * 5),
        ("param2", c_uint8),
        ("enabled", c_uint8),
        ("flag0", c_uint8),
        ("flag1", c_uint8),
        ("flag2", c_uint8),
        ("flag3", c_uint8),
        ("flag4", c_uint8),
    ]


class WorkTimePeriod(Structure):
    """One period of the day (4 bytes); 255 in every field is an absent period."""

    _pack_ = 1
    _fields_ = [
        ("startHour", c_uint8),
        ("startMinute", c_uint8),
        ("endHour", c_uint8),
        ("endMinute", c_uint8),
    ]


class WorkTimeSchedule(Structure):
    """One work-time schedule (26 bytes)."""

    _pack_ = 1
    _fields_ = [
        ("param0", c_uint8),
        ("param1", c_uint8),
        ("periods", WorkTimePeriod * 6),
    ]


class EventRecord(Structure):
    """One event record (43 bytes)."""

    _pack_ = 1
    _fields_ = [
        ("kind", c_uint8),
        ("number", c_uint64),
        ("code", c_uint8),
        ("value1", c_int16),
        ("value2", c_int16),
        ("value3", c_int16),
        ("value4", c_int16),
        ("value5", c_int16),
        ("value6", c_int16),
        ("value7", c_int16),
        ("value8", c_int16),
        ("cardNumber", c_int64),
        ("digits", c_char * 9),
    ]


class ModeBlock(Structure):
    """A reader's or fingerprint reader's mode block (5 bytes)."""

    _pack_ = 1
    _fields_ = [("settings", c_uint8 * 5)]


class FingerDataRecord(Structure):
    """A fingerprint template exchange (135 bytes)."""

    _pack_ = 1
    _fields_ = [
        ("leadByte", c_uint8),
        ("lowBits", c_uint8),
        ("number", c_uint32),
        ("lowNibble", c_uint8),
        ("templateData", c_uint8 * 128),
    ]


RECORDS = (
    CardRecord,
    MultiCardGroup,
    WorkTimePeriod,
    WorkTimeSchedule,
    EventRecord,
    ModeBlock,
    FingerDataRecord,
)

_u8p = POINTER(c_uint8)

# Every export: C name, result type, argument types.
_PROTOTYPES: list[tuple[str, Any, list[Any]]] = [
    ("PreparePackage", c_int32, [_u8p, c_uint32]),
    ("GetDeviceType", c_int32, [_u8p]),
    ("GetDeviceIdent", c_uint64, [_u8p]),
    ("GetReconnectPackage", c_int32, [_u8p]),
    ("ReadNetConfigration", _u8p, []),
    ("SendNetConfigration", c_int32, [_u8p]),
    ("SendDeviceReadCommand", c_int32, [_u8p]),
    ("SendDeviceEcho", c_int32, [_u8p]),
    ("GetFirmwareVersion", c_int32, [_u8p]),
    ("SendCards", c_int32, [_u8p, c_int32, POINTER(CardRecord)]),
    ("GetCards", c_int32, [_u8p, c_uint32, POINTER(CardRecord)]),
    ("SendMultiCards", c_int32, [_u8p, c_int32, POINTER(MultiCardGroup)]),
    ("GetMultiCards", c_int32, [_u8p, c_uint32, POINTER(MultiCardGroup)]),
    ("SendWorkTime", c_int32, [_u8p, c_int32, POINTER(WorkTimeSchedule)]),
    ("GetWorkTime", c_int32, [_u8p, c_uint32, POINTER(WorkTimeSchedule)]),
    ("SendDevicePassword", c_int32, [_u8p] + [c_char_p] * 10),
    ("SendFingerPassword", c_int32, [_u8p] + [c_char_p] * 10),
    ("GetDevicePassword", c_void_p, [_u8p, c_uint32]),
    ("GetEvents", c_bool, [_u8p, POINTER(EventRecord)]),
    ("SendControl", c_int32, [_u8p, c_int32, c_int32, c_int32, c_int32]),
    ("SendExOutput", c_int32, [_u8p, c_int32]),
    ("SendTimer", c_int32, [_u8p]),
    ("SendReaderMoton", c_int32, [_u8p, POINTER(ModeBlock)]),
    ("GetReaderMoton", c_bool, [_u8p, POINTER(ModeBlock)]),
    ("SendFingerMoton", c_int32, [_u8p, POINTER(ModeBlock)]),
    ("GetFingerMoton", c_bool, [_u8p, POINTER(ModeBlock)]),
    ("SendFingerControl", c_int32, [_u8p, c_int32, c_uint32, c_int32]),
    ("GetFingerControl", c_int32, [_u8p]),
    ("GetFingerData", None, [_u8p, POINTER(FingerDataRecord)]),
    ("SendFingerData", c_int32, [_u8p, POINTER(FingerDataRecord)]),
    ("GetSoundBuffer", POINTER(c_uint16), [_u8p]),
    ("SendSoundData", c_int32, [_u8p]),
]

EXPORTS: tuple[str, ...] = tuple("_" + name for name, _, _ in _PROTOTYPES)
"""The symbols this binding binds, in the version script's order."""


def _library_candidates() -> list[str]:
    """Where the library is looked for: VELKORLINK_LIBRARY, beside the package, the system."""
    found = []
    explicit = os.environ.get("VELKORLINK_LIBRARY")
    if explicit:
        return [explicit]
    here = Path(__file__).resolve().parent
    if sys.platform == "win32":
        names = ["velkorlink.dll"]
    elif sys.platform == "darwin":
        names = ["libvelkorlink.dylib"]
    else:
        names = ["libvelkorlink.so.1", "libvelkorlink.so"]
    found += [str(here / name) for name in names if (here / name).exists()]
    found += names
    return found


def _load() -> ctypes.CDLL:
    errors = []
    for candidate in _library_candidates():
        try:
            return ctypes.CDLL(candidate)
        except OSError as error:
            errors.append(f"{candidate}: {error}")
    raise ImportError(
        "velkorlink: cannot load the link library (set VELKORLINK_LIBRARY to its path): "
        + "; ".join(errors)
    )


_lib = _load()
_raw: dict[str, Any] = {}
for _name, _result, _arguments in _PROTOTYPES:
    _function = getattr(_lib, "_" + _name)
    _function.restype = _result
    _function.argtypes = _arguments
    _raw[_name] = _function
LIBRARY_PATH: str = _lib._name
"""The file the library was loaded from."""


# ---- Argument checks ----


def _packet(buffer: Any, need: int, what: str) -> Any:
    """A pointer to the bytes of a writable buffer of at least `need` bytes."""
    if isinstance(buffer, (bytes, str)) or not hasattr(buffer, "__len__"):
        raise TypeError(f"{what}: the packet must be a bytearray, not {type(buffer).__name__}")
    try:
        view = (c_uint8 * len(buffer)).from_buffer(buffer)
    except TypeError as error:
        raise TypeError(f"{what}: the packet must be a writable buffer ({error})") from None
    if len(buffer) < need:
        raise ValueError(f"{what}: the packet buffer holds {len(buffer)} bytes, {need} are needed")
    return ctypes.cast(view, _u8p)


def _length(buffer: Any, length: int, what: str) -> int:
    if isinstance(length, bool) or not isinstance(length, int) or length < 0:
        raise ValueError(f"{what}: length must be a non-negative int, not {length!r}")
    if length > len(buffer):
        raise ValueError(f"{what}: length {length} is beyond the {len(buffer)}-byte buffer")
    return length


def _records(records: Any, kind: type, need: int, what: str) -> Any:
    """A pointer to `need` records of `kind`: a ctypes array of them, or a single record."""
    if isinstance(records, kind):
        available = 1
    elif isinstance(records, ctypes.Array) and records._type_ is kind:
        available = len(records)
    else:
        raise TypeError(f"{what}: expected {kind.__name__} records, not {type(records).__name__}")
    if available < need:
        raise ValueError(f"{what}: {need} {kind.__name__} records needed, {available} given")
    return ctypes.cast(ctypes.pointer(records), POINTER(kind))


def _record(record: Any, kind: type, what: str) -> Any:
    if not isinstance(record, kind):
        raise TypeError(f"{what}: expected a {kind.__name__}, not {type(record).__name__}")
    return ctypes.byref(record)


def _int(value: Any, what: str) -> int:
    """An int that a C int32_t holds (ctypes would silently keep only its low 32 bits)."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what}: expected an int, not {type(value).__name__}")
    if not -(1 << 31) <= value < 1 << 31:
        raise ValueError(f"{what}: {value} does not fit a 32-bit int")
    return value


def _reply(buffer: Any, reply: int, what: str) -> Any:
    """The buffer of a Send function that writes `reply` bytes (never less than 102)."""
    return _packet(buffer, max(MIN_BUFFER, reply), what)


def _is_legacy(buffer: Any) -> bool:
    return len(buffer) > 2 and buffer[2] == 0


# ---- Packet intake and device identity ----


def PreparePackage(packet: Any, length: int) -> int:
    """Opens and checks a received packet of `length` bytes in place; its code, or 0 to drop."""
    pointer = _packet(packet, MIN_BUFFER, "PreparePackage")
    return _raw["PreparePackage"](pointer, _length(packet, length, "PreparePackage"))


def GetDeviceType(packet: Any) -> int:
    return _raw["GetDeviceType"](_packet(packet, HEAD_LENGTH, "GetDeviceType"))


def GetDeviceIdent(packet: Any) -> int:
    return _raw["GetDeviceIdent"](_packet(packet, HEAD_LENGTH, "GetDeviceIdent"))


def GetReconnectPackage(packet: Any) -> int:
    return _raw["GetReconnectPackage"](_packet(packet, HEAD_LENGTH, "GetReconnectPackage"))


# ---- Network module configuration ----


def ReadNetConfigration() -> bytes:
    """A copy of the library's 60-byte network configuration record."""
    return ctypes.string_at(_raw["ReadNetConfigration"](), NET_CONFIG_LENGTH)


def SendNetConfigration(packet: Any) -> int:
    return _raw["SendNetConfigration"](_reply(packet, 86, "SendNetConfigration"))


# ---- Echo, read and firmware commands ----


def SendDeviceReadCommand(packet: Any) -> int:
    return _raw["SendDeviceReadCommand"](_reply(packet, 26, "SendDeviceReadCommand"))


def SendDeviceEcho(packet: Any) -> int:
    return _raw["SendDeviceEcho"](_reply(packet, 27, "SendDeviceEcho"))


def GetFirmwareVersion(packet: Any) -> int:
    return _raw["GetFirmwareVersion"](_packet(packet, 90, "GetFirmwareVersion"))


# ---- Card and schedule data ----


def SendCards(packet: Any, count: int, cards: Any) -> int:
    n = min(max(_int(count, "SendCards"), 0), MAX_CARDS)
    pointer = _reply(packet, HEAD_LENGTH + CARD_STRIDE * n, "SendCards")
    return _raw["SendCards"](pointer, count, _records(cards, CardRecord, n, "SendCards"))


def _received(packet: Any, length: int, stride: int, cap: Optional[int], what: str) -> Any:
    _length(packet, length, what)
    n = (length - HEAD_LENGTH) // stride if length >= HEAD_LENGTH else 0
    return _packet(packet, HEAD_LENGTH, what), min(n, cap) if cap is not None else n


def GetCards(packet: Any, length: int, cards: Any) -> int:
    pointer, n = _received(packet, length, CARD_STRIDE, None, "GetCards")
    return _raw["GetCards"](pointer, length, _records(cards, CardRecord, n, "GetCards"))


def SendMultiCards(packet: Any, count: int, groups: Any) -> int:
    n = min(max(_int(count, "SendMultiCards"), 0), MAX_GROUPS)
    pointer = _reply(packet, HEAD_LENGTH + GROUP_STRIDE * n, "SendMultiCards")
    return _raw["SendMultiCards"](
        pointer, count, _records(groups, MultiCardGroup, n, "SendMultiCards")
    )


def GetMultiCards(packet: Any, length: int, groups: Any) -> int:
    pointer, n = _received(packet, length, GROUP_STRIDE, MAX_GROUPS, "GetMultiCards")
    return _raw["GetMultiCards"](
        pointer, length, _records(groups, MultiCardGroup, n, "GetMultiCards")
    )


def SendWorkTime(packet: Any, count: int, schedules: Any) -> int:
    n = min(max(_int(count, "SendWorkTime"), 0), MAX_SCHEDULES)
    pointer = _reply(packet, HEAD_LENGTH + SCHEDULE_STRIDE * n, "SendWorkTime")
    return _raw["SendWorkTime"](
        pointer, count, _records(schedules, WorkTimeSchedule, n, "SendWorkTime")
    )


def GetWorkTime(packet: Any, length: int, schedules: Any) -> int:
    pointer, n = _received(packet, length, SCHEDULE_STRIDE, MAX_SCHEDULES, "GetWorkTime")
    return _raw["GetWorkTime"](
        pointer, length, _records(schedules, WorkTimeSchedule, n, "GetWorkTime")
    )


def _texts(passwords: Sequence[Optional[bytes]], what: str) -> list[Optional[bytes]]:
    if len(passwords) != PASSWORD_COUNT:
        raise TypeError(f"{what}: takes {PASSWORD_COUNT} passwords, {len(passwords)} given")
    for text in passwords:
        if text is not None and not isinstance(text, bytes):
            raise TypeError(f"{what}: each password is bytes or None, not {type(text).__name__}")
    return list(passwords)


def SendDevicePassword(packet: Any, *passwords: Optional[bytes]) -> int:
    pointer = _reply(packet, 66, "SendDevicePassword")
    return _raw["SendDevicePassword"](pointer, *_texts(passwords, "SendDevicePassword"))


def SendFingerPassword(packet: Any, *passwords: Optional[bytes]) -> int:
    pointer = _reply(packet, 66, "SendFingerPassword")
    return _raw["SendFingerPassword"](pointer, *_texts(passwords, "SendFingerPassword"))


def GetDevicePassword(packet: Any, index: int) -> bytes:
    """Password `index` (0..9) as digits; the library writes it into packet bytes 76..84."""
    if _int(index, "GetDevicePassword") < 0:
        raise ValueError(f"GetDevicePassword: index {index} is negative")
    address = _raw["GetDevicePassword"](_packet(packet, 85, "GetDevicePassword"), index)
    return ctypes.string_at(address)


# ---- Events, control and peripherals ----


def GetEvents(packet: Any, record: EventRecord) -> bool:
    """Decodes the last record still counted (packet byte 26) and counts it off."""
    pointer = _packet(packet, FIRST_EVENT, "GetEvents")
    first = FIRST_FRAME if _is_legacy(packet) else FIRST_EVENT
    # The library reads the record the count points at; the buffer must hold it.
    _packet(packet, first + EVENT_STRIDE * packet[26], "GetEvents")
    return bool(_raw["GetEvents"](pointer, _record(record, EventRecord, "GetEvents")))


def SendControl(packet: Any, command: int, first: int, second: int, third: int) -> int:
    pointer = _reply(packet, 102, "SendControl")
    args = [_int(v, "SendControl") for v in (command, first, second, third)]
    return _raw["SendControl"](pointer, *args)


def SendExOutput(packet: Any, value: int) -> int:
    return _raw["SendExOutput"](_reply(packet, 102, "SendExOutput"), _int(value, "SendExOutput"))


def SendTimer(packet: Any) -> int:
    return _raw["SendTimer"](_reply(packet, 102, "SendTimer"))


def SendReaderMoton(packet: Any, block: ModeBlock) -> int:
    pointer = _reply(packet, 102, "SendReaderMoton")
    return _raw["SendReaderMoton"](pointer, _record(block, ModeBlock, "SendReaderMoton"))


def GetReaderMoton(packet: Any, block: ModeBlock) -> bool:
    pointer = _packet(packet, 31, "GetReaderMoton")
    return bool(_raw["GetReaderMoton"](pointer, _record(block, ModeBlock, "GetReaderMoton")))


def SendFingerMoton(packet: Any, block: ModeBlock) -> int:
    pointer = _reply(packet, 31, "SendFingerMoton")
    return _raw["SendFingerMoton"](pointer, _record(block, ModeBlock, "SendFingerMoton"))


def GetFingerMoton(packet: Any, block: ModeBlock) -> bool:
    pointer = _packet(packet, 31, "GetFingerMoton")
    return bool(_raw["GetFingerMoton"](pointer, _record(block, ModeBlock, "GetFingerMoton")))


def SendFingerControl(packet: Any, selector: int, number: int, command: int) -> int:
    pointer = _reply(packet, 41, "SendFingerControl")
    if isinstance(number, bool) or not isinstance(number, int):
        raise TypeError(f"SendFingerControl: expected an int, not {type(number).__name__}")
    if not 0 <= number <= 0xFFFFFFFF:
        raise ValueError(f"SendFingerControl: number {number} is not a 32-bit unsigned value")
    return _raw["SendFingerControl"](
        pointer, _int(selector, "SendFingerControl"), number, _int(command, "SendFingerControl")
    )


def GetFingerControl(packet: Any) -> int:
    return _raw["GetFingerControl"](_packet(packet, 27, "GetFingerControl"))


def GetFingerData(packet: Any, record: FingerDataRecord) -> None:
    pointer = _packet(packet, 156, "GetFingerData")
    _raw["GetFingerData"](pointer, _record(record, FingerDataRecord, "GetFingerData"))


def SendFingerData(packet: Any, record: FingerDataRecord) -> int:
    pointer = _reply(packet, 154, "SendFingerData")
    return _raw["SendFingerData"](pointer, _record(record, FingerDataRecord, "SendFingerData"))


# ---- Voice data transfer (legacy devices) ----


def GetSoundBuffer(packet: Any) -> memoryview:
    """The sound buffer from packet byte 25: data count (25..26), request word (27..28), data.

    The library returns a pointer into the packet at byte 25; this gives the same bytes as a
    view of the packet itself, which stays valid as long as the buffer does."""
    pointer = _packet(packet, VOICE_DATA, "GetSoundBuffer")
    address = ctypes.cast(_raw["GetSoundBuffer"](pointer), c_void_p).value
    offset = (address or 0) - ctypes.cast(pointer, c_void_p).value
    if not 0 <= offset < len(packet):
        raise RuntimeError("GetSoundBuffer: the library pointed outside the packet")
    return memoryview(packet)[offset:]


def SendSoundData(packet: Any) -> int:
    """Voice data reply carrying the data count's bytes from byte 29."""
    count = packet[25] | packet[26] << 8 if len(packet) > 26 else 0
    return _raw["SendSoundData"](_reply(packet, VOICE_DATA + count, "SendSoundData"))
