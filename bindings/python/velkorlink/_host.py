"""Pythonic helpers over the exports: lists of records in and out, strings for passwords."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Iterable, Optional, Sequence

from . import _native as n
from ._native import (
    CardRecord,
    EventRecord,
    FingerDataRecord,
    ModeBlock,
    MultiCardGroup,
    WorkTimePeriod,
    WorkTimeSchedule,
)

BUFFER_SIZE = 2048
"""Size of a buffer from new_buffer(): every fixed-format reply and a long voice reply fit."""


def new_buffer(data: bytes = b"", size: int = BUFFER_SIZE) -> bytearray:
    """A packet buffer of `size` bytes (at least the received data) holding `data` at its start."""
    buffer = bytearray(max(size, len(data), n.MIN_BUFFER))
    buffer[: len(data)] = data
    return buffer


@dataclass(frozen=True)
class Event:
    """One decoded event record; -1 marks a value or card number the record does not carry, None
    a number (kinds 0, 3 and 4 carry one) or code (kinds 0, 1 and 3) it does not carry."""

    kind: int
    number: Optional[int]
    code: Optional[int]
    values: tuple[int, ...]
    card_number: int
    digits: str

    @classmethod
    def from_record(cls, r: EventRecord) -> "Event":
        values = (r.value1, r.value2, r.value3, r.value4, r.value5, r.value6, r.value7, r.value8)
        number = r.number if r.kind in (0, 3, 4) else None
        code = r.code if r.kind in (0, 1, 3) else None
        return cls(r.kind, number, code, values, r.cardNumber, r.digits.decode("ascii"))


def _check_digits(text: Optional[str], what: str) -> Optional[bytes]:
    if text is None:
        return None
    if not isinstance(text, str):
        raise TypeError(f"{what}: a password is a str of digits or None, not {type(text).__name__}")
    if len(text) > 8 or not all("0" <= c <= "9" for c in text):
        raise ValueError(f"{what}: {text!r} is not a password of up to 8 digits")
    return text.encode("ascii")


def card(
    number: int, password: str = "", stamp: tuple[int, int, int, int] = (99, 12, 31, 23), **flags: int
) -> CardRecord:
    """A card record: number (40 bits), a digit password, (year, month, day, hour), flags."""
    if not 0 <= number < 1 << 40:
        raise ValueError(f"card: number {number} does not fit in 40 bits")
    record = CardRecord(cardNumber=number, password=_check_digits(password, "card") or b"")
    record.year, record.month, record.day, record.hour = stamp
    for name, value in flags.items():
        if name not in ("param", "flag0", "flag1", "flag2", "flag3", "flag4", "flag6", "flag7"):
            raise TypeError(f"card: no field {name!r}")
        setattr(record, name, value)
    return record


def _array(kind: type, records: Iterable[object], limit: int, what: str) -> ctypes.Array:
    items = list(records)
    if len(items) > limit:
        raise ValueError(f"{what}: at most {limit} records travel in one packet, {len(items)} given")
    for item in items:
        if not isinstance(item, kind):
            raise TypeError(f"{what}: expected {kind.__name__} records, not {type(item).__name__}")
    return (kind * max(len(items), 1))(*items)


def _length(buffer: bytearray, length: Optional[int]) -> int:
    return len(buffer) if length is None else length


# ---- Records in ----


def get_events(buffer: bytearray, length: Optional[int] = None) -> list[Event]:
    """Every event of an event report, in the packet's order; counts them all off.

    `length` is the number of bytes received; a count at byte 26 announcing more records than
    that raises ValueError before anything is decoded."""
    first = n.FIRST_FRAME if n.GetDeviceType(buffer) == 0 else n.FIRST_EVENT
    received = _length(buffer, length)
    if received > len(buffer) or received < first + n.EVENT_STRIDE * buffer[26]:
        raise ValueError(
            f"get_events: the packet announces {buffer[26]} records, "
            f"{received} bytes cannot hold them"
        )
    events: list[Event] = []
    while True:
        record = EventRecord()  # fresh, so that nothing of the previous record shows through
        if not n.GetEvents(buffer, record):
            break
        events.append(Event.from_record(record))
    events.reverse()
    return events


def get_cards(buffer: bytearray, length: int) -> list[CardRecord]:
    """The cards of a received card list (0xF8); [] for any other packet."""
    room = (CardRecord * max((length - n.HEAD_LENGTH) // n.CARD_STRIDE, 1))()
    count = n.GetCards(buffer, length, room)
    return [CardRecord.from_buffer_copy(room[i]) for i in range(count)]


def get_groups(buffer: bytearray, length: int) -> list[MultiCardGroup]:
    """The multi-card groups of a received 0xF6 packet; [] for any other packet."""
    room = (MultiCardGroup * n.MAX_GROUPS)()
    count = n.GetMultiCards(buffer, length, room)
    return [MultiCardGroup.from_buffer_copy(room[i]) for i in range(count)]


def get_schedules(buffer: bytearray, length: int) -> list[WorkTimeSchedule]:
    """The work-time schedules of a received 0xF4 packet; [] for any other packet."""
    room = (WorkTimeSchedule * n.MAX_SCHEDULES)()
    count = n.GetWorkTime(buffer, length, room)
    return [WorkTimeSchedule.from_buffer_copy(room[i]) for i in range(count)]


def get_passwords(buffer: bytearray) -> list[str]:
    """The ten passwords of a password packet as digit texts ("" for none)."""
    return [n.GetDevicePassword(buffer, i).decode("ascii") for i in range(n.PASSWORD_COUNT)]


def get_reader_mode(buffer: bytearray) -> Optional[bytes]:
    """The five settings of a reader mode report (0xEE), None for any other packet."""
    block = ModeBlock()
    return bytes(block.settings) if n.GetReaderMoton(buffer, block) else None


def get_finger_mode(buffer: bytearray) -> Optional[bytes]:
    """The five settings of a fingerprint mode report (0xEC), None for any other packet."""
    block = ModeBlock()
    return bytes(block.settings) if n.GetFingerMoton(buffer, block) else None


def get_finger_data(buffer: bytearray) -> FingerDataRecord:
    """The template upload (0xE8) or request (0xEA) a packet carries."""
    record = FingerDataRecord()
    n.GetFingerData(buffer, record)
    return record


def net_config() -> bytes:
    """A copy of the 60-byte network configuration record of the last accepted packet."""
    return n.ReadNetConfigration()


def sound_request(buffer: bytearray) -> int:
    """The request word of a voice data request (0xF2)."""
    sound = n.GetSoundBuffer(buffer)
    return sound[2] | sound[3] << 8


# ---- Replies out ----


def send_cards(buffer: bytearray, cards: Sequence[CardRecord]) -> int:
    """Card list (0xF7) of at most 88 cards; the reply's length."""
    array = _array(CardRecord, cards, n.MAX_CARDS, "send_cards")
    for c in cards:
        _check_digits(c.password.decode("latin-1"), "send_cards")
    return n.SendCards(buffer, len(cards), array)


def send_groups(buffer: bytearray, groups: Sequence[MultiCardGroup]) -> int:
    """Multi-card groups (0xF5), at most 32; the reply's length."""
    array = _array(MultiCardGroup, groups, n.MAX_GROUPS, "send_groups")
    return n.SendMultiCards(buffer, len(groups), array)


def send_schedules(buffer: bytearray, schedules: Sequence[WorkTimeSchedule]) -> int:
    """Work-time schedules (0xF3), at most 16; the reply's length."""
    array = _array(WorkTimeSchedule, schedules, n.MAX_SCHEDULES, "send_schedules")
    return n.SendWorkTime(buffer, len(schedules), array)


def _passwords(passwords: Sequence[Optional[str]], what: str) -> list[Optional[bytes]]:
    if isinstance(passwords, str) or len(passwords) > n.PASSWORD_COUNT:
        raise ValueError(f"{what}: a list of at most {n.PASSWORD_COUNT} passwords is expected")
    texts = [_check_digits(p, what) for p in passwords]
    return texts + [None] * (n.PASSWORD_COUNT - len(texts))


def send_device_passwords(buffer: bytearray, passwords: Sequence[Optional[str]]) -> int:
    """Up to ten device passwords (0xF1), each a text of up to 8 digits or None."""
    return n.SendDevicePassword(buffer, *_passwords(passwords, "send_device_passwords"))


def send_finger_passwords(buffer: bytearray, passwords: Sequence[Optional[str]]) -> int:
    """Up to ten fingerprint passwords (0xE7), each a text of up to 8 digits or None."""
    return n.SendFingerPassword(buffer, *_passwords(passwords, "send_finger_passwords"))


def _block(settings: bytes, what: str) -> ModeBlock:
    if len(settings) != 5:
        raise ValueError(f"{what}: a mode block has 5 settings, {len(settings)} given")
    return ModeBlock((ctypes.c_uint8 * 5)(*settings))


def send_reader_mode(buffer: bytearray, settings: bytes) -> int:
    """Reader mode (0xEF, or a legacy frame) with five settings."""
    return n.SendReaderMoton(buffer, _block(settings, "send_reader_mode"))


def send_finger_mode(buffer: bytearray, settings: bytes) -> int:
    """Fingerprint mode (0xED) with five settings."""
    return n.SendFingerMoton(buffer, _block(settings, "send_finger_mode"))


def send_finger_data(buffer: bytearray, template: bytes) -> int:
    """Answers a template request (0xEA) with a 128-byte template; 0 for any other packet."""
    if len(template) != 128:
        raise ValueError(f"send_finger_data: a template has 128 bytes, {len(template)} given")
    record = FingerDataRecord()
    ctypes.memmove(record.templateData, bytes(template), 128)
    return n.SendFingerData(buffer, record)


def send_sound_data(buffer: bytearray, data: bytes) -> int:
    """Voice data reply (0xF1) carrying `data` from packet byte 29."""
    if len(data) > 0xFFFF:
        raise ValueError(f"send_sound_data: at most 65535 bytes travel, {len(data)} given")
    if n.VOICE_DATA + len(data) > len(buffer):
        raise ValueError(
            f"send_sound_data: {len(data)} bytes of data do not fit the {len(buffer)}-byte buffer"
        )
    buffer[n.VOICE_DATA : n.VOICE_DATA + len(data)] = data
    buffer[25] = len(data) & 0xFF
    buffer[26] = len(data) >> 8
    return n.SendSoundData(buffer)


def period(start: tuple[int, int], end: tuple[int, int]) -> WorkTimePeriod:
    """A period from (hour, minute) to (hour, minute)."""
    return WorkTimePeriod(start[0], start[1], end[0], end[1])


ABSENT = WorkTimePeriod(255, 255, 255, 255)
"""The absent period: how a period that does not travel reads back."""
