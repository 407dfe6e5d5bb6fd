"""Velkorlink for Python: the device link library through ctypes.

The exports keep their C names and argument order (``PreparePackage(buffer, length)``) and take
a ``bytearray`` for the packet; the host records are ctypes Structures named as in the C header.
The snake_case helpers take and give lists of records and strings::

    buffer = velkorlink.new_buffer(datagram)
    if velkorlink.PreparePackage(buffer, len(datagram)) == 0x01:
        events = velkorlink.get_events(buffer, len(datagram))
        reply = velkorlink.SendDeviceEcho(buffer)
"""

from ._host import (
    ABSENT,
    BUFFER_SIZE,
    Event,
    card,
    get_cards,
    get_events,
    get_finger_data,
    get_finger_mode,
    get_groups,
    get_passwords,
    get_reader_mode,
    get_schedules,
    net_config,
    new_buffer,
    period,
    send_cards,
    send_device_passwords,
    send_finger_data,
    send_finger_mode,
    send_finger_passwords,
    send_groups,
    send_reader_mode,
    send_schedules,
    send_sound_data,
    sound_request,
)
from ._native import (
    EXPORTS,
    HEAD_LENGTH,
    LIBRARY_PATH,
    MAX_CARDS,
    MAX_FIXED_REPLY,
    MAX_GROUPS,
    MAX_SCHEDULES,
    MIN_BUFFER,
    NET_CONFIG_LENGTH,
    RECORDS,
    CardRecord,
    EventRecord,
    FingerDataRecord,
    GetCards,
    GetDeviceIdent,
    GetDevicePassword,
    GetDeviceType,
    GetEvents,
    GetFingerControl,
    GetFingerData,
    GetFingerMoton,
    GetFirmwareVersion,
    GetMultiCards,
    GetReaderMoton,
    GetReconnectPackage,
    GetSoundBuffer,
    GetWorkTime,
    ModeBlock,
    MultiCardGroup,
    PreparePackage,
    ReadNetConfigration,
    SendCards,
    SendControl,
    SendDeviceEcho,
    SendDevicePassword,
    SendDeviceReadCommand,
    SendExOutput,
    SendFingerControl,
    SendFingerData,
    SendFingerMoton,
    SendFingerPassword,
    SendMultiCards,
    SendNetConfigration,
    SendReaderMoton,
    SendSoundData,
    SendTimer,
    SendWorkTime,
    WorkTimePeriod,
    WorkTimeSchedule,
)

__version__ = "1.0.0"

__all__ = [name for name in dir() if not name.startswith("_")]
