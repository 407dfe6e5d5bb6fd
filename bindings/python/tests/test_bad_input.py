"""Bad input raises Python's own errors before the library is called: it never reads or writes
past a buffer or past the records given, and never cuts a list or a password silently."""

import pytest
import velkorlink as v

CARD = v.card(1, "1234")
SMALL = bytearray(40)


def poll(vectors) -> bytearray:
    data = bytes.fromhex(vectors["poll"]["hex"])
    buffer = v.new_buffer(data)
    assert v.PreparePackage(buffer, len(data)) == 2
    return buffer


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda b: v.PreparePackage(bytes(200), 26), TypeError, "bytearray"),
        (lambda b: v.PreparePackage(SMALL, 26), ValueError, "102 are needed"),
        (lambda b: v.PreparePackage(b, len(b) + 1), ValueError, "beyond"),
        (lambda b: v.PreparePackage(b, -1), ValueError, "non-negative"),
        (lambda b: v.SendCards(bytearray(200), 20, (v.CardRecord * 20)()), ValueError, "326"),
        (lambda b: v.SendCards(b, 3, (v.CardRecord * 2)()), ValueError, "3 CardRecord"),
        (lambda b: v.SendCards(b, 1, v.MultiCardGroup()), TypeError, "CardRecord"),
        (lambda b: v.GetCards(b, 26 + 15 * 4, (v.CardRecord * 3)()), ValueError, "4 CardRecord"),
        (lambda b: v.GetMultiCards(b, 3000, (v.MultiCardGroup * 40)()), ValueError, "beyond"),
        (lambda b: v.SendDevicePassword(b, b"1"), TypeError, "10 passwords"),
        (lambda b: v.SendDevicePassword(b, *["12"] * 10), TypeError, "bytes or None"),
        (lambda b: v.GetDevicePassword(SMALL, 0), ValueError, "85 are needed"),
        (lambda b: v.GetEvents(b, v.CardRecord()), TypeError, "EventRecord"),
        (lambda b: v.SendFingerData(b, v.ModeBlock()), TypeError, "FingerDataRecord"),
        (lambda b: v.SendFingerControl(b, 1, -1, 2), ValueError, "32-bit"),
        (lambda b: v.SendControl(b, 1.5, 0, 0, 0), TypeError, "int"),
        (lambda b: v.SendExOutput(b, 1 << 32), ValueError, "32-bit int"),
        (lambda b: v.GetDevicePassword(b, 1 << 32), ValueError, "32-bit int"),
        (lambda b: v.send_cards(b, [v.CardRecord(password=b"123456789")]), ValueError, "8 digits"),
        (lambda b: v.send_cards(b, [v.CardRecord(password=b"12a4")]), ValueError, "8 digits"),
        (lambda b: v.send_cards(b, [CARD] * 89), ValueError, "at most 88"),
        (lambda b: v.send_cards(b, [v.MultiCardGroup()]), TypeError, "CardRecord"),
        (lambda b: v.send_groups(b, [v.MultiCardGroup()] * 33), ValueError, "at most 32"),
        (lambda b: v.send_schedules(b, [v.WorkTimeSchedule()] * 17), ValueError, "at most 16"),
        (lambda b: v.send_schedules(b, [CARD]), TypeError, "WorkTimeSchedule"),
        (lambda b: v.send_device_passwords(b, ["12a4"]), ValueError, "8 digits"),
        (lambda b: v.send_device_passwords(b, ["123456789"]), ValueError, "8 digits"),
        (lambda b: v.send_finger_passwords(b, [1234]), TypeError, "str of digits"),
        (lambda b: v.send_finger_passwords(b, ["1"] * 11), ValueError, "at most 10"),
        (lambda b: v.send_finger_passwords(b, "1234"), ValueError, "list"),
        (lambda b: v.send_reader_mode(b, b"\x01\x02"), ValueError, "5 settings"),
        (lambda b: v.send_finger_data(b, bytes(127)), ValueError, "128 bytes"),
        (lambda b: v.send_sound_data(b, bytes(len(b))), ValueError, "do not fit"),
        (lambda b: v.card(1 << 40), ValueError, "40 bits"),
        (lambda b: v.card(1, "x"), ValueError, "8 digits"),
        (lambda b: v.card(1, colour=3), TypeError, "colour"),
    ],
)
def test_bad_input_raises(vectors, call, error, message):
    buffer = poll(vectors)
    before = bytes(buffer)
    with pytest.raises(error, match=message):
        call(buffer)
    assert bytes(buffer) == before, "a refused call changed the packet"


def test_event_count_beyond_the_packet_raises_before_decoding(vectors):
    data = bytearray.fromhex(vectors["events-current"]["hex"])
    buffer = v.new_buffer(data)
    assert v.PreparePackage(buffer, len(data)) == 1
    buffer[26] = 9  # eight records travel
    with pytest.raises(ValueError, match="announces 9 records"):
        v.get_events(buffer, len(data))
    assert buffer[26] == 9
    # The raw export refuses a count whose record lies past the end of the buffer.
    buffer = bytearray(buffer[:200])
    buffer[26] = 255
    with pytest.raises(ValueError, match="4107 are needed"):
        v.GetEvents(buffer, v.EventRecord())


def test_limits_themselves_are_accepted(vectors):
    buffer = poll(vectors)
    assert v.send_cards(buffer, [CARD] * 88) == 1346
    buffer = poll(vectors)
    assert v.send_device_passwords(buffer, ["12345678"] * 10) == 66
    assert v.get_passwords(buffer) == ["12345678"] * 10
    buffer = poll(vectors)
    assert v.send_cards(buffer, []) == 26


def test_raw_send_cards_keeps_the_library_clamp(vectors):
    # The library itself sends 88 of a larger count; the raw export needs only those 88.
    buffer = poll(vectors)
    assert v.SendCards(buffer, 100, (v.CardRecord * 88)()) == 1346


def test_received_lists_round_trip(vectors):
    """What a Send wrapper writes, the matching Get wrapper reads back (with the reply's code
    turned into the device's code, as a device echoes a list)."""
    cards = [v.card(0xABCDEF, "42", (24, 1, 2, 3), flag0=1), v.card(7)]
    buffer = poll(vectors)
    length = v.send_cards(buffer, cards)
    buffer[0] = 0xF8
    got = v.get_cards(buffer, length)
    assert [(c.cardNumber, c.password, c.flag0) for c in got] == [(0xABCDEF, b"42", 1), (7, b"", 0)]
