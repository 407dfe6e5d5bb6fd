#!/usr/bin/env python3
"""A small host in Python: answers devices over UDP on 127.0.0.1 with the link library.

Every accepted packet gets one reply, a refused one none: a new device gets the clock, a
configuration goes back to its module, a card list is answered with our cards, a template request
with the template the device uploaded for that slot, a voice request with voice data, and
everything else with an echo. Stops on SIGINT or SIGTERM, or after --seconds, and prints a
summary.

usage: host.py [--port N] [--seconds S] [--quiet]
"""

from __future__ import annotations

import argparse
import signal
import socket
import sys
import time

import velkorlink as v

EVENT_REPORT, POLL = 0x01, 0x02
FINGER_UPLOAD, FINGER_REQUEST = 0xE8, 0xEA
VOICE_REQUEST, CARD_LIST = 0xF2, 0xF8
FIRMWARE, CONFIGURATION = 0xFC, 0xFF

CARDS = [
    v.card(1001, "1234", (99, 12, 31, 23)),
    v.card(1002, "", (30, 6, 1, 8), flag0=1),
    v.card(0xFFFFFFFFFF, "87654321"),
]
VOICE_CLIP = 480  # bytes of voice data per request


class Host:
    def __init__(self, quiet: bool) -> None:
        self.quiet = quiet
        self.seen: set[tuple[int, int]] = set()
        self.templates: dict[int, bytes] = {}
        self.accepted = self.refused = self.events = self.replies = 0

    def say(self, text: str) -> None:
        if not self.quiet:
            print(text, flush=True)

    def answer(self, datagram: bytes) -> bytes:
        """The reply to one datagram, b"" for none."""
        buffer = v.new_buffer(datagram)
        code = v.PreparePackage(buffer, len(datagram))
        if code == 0:
            self.refused += 1
            self.say(f"<- refused a packet of {len(datagram)} bytes: no reply")
            return b""
        device = (v.GetDeviceType(buffer), v.GetDeviceIdent(buffer))
        self.say(f"<- {'legacy' if device[0] == 0 else 'current'} {device[1]:014X} code 0x{code:02X}")
        if code == EVENT_REPORT:
            try:
                events = v.get_events(buffer, len(datagram))
            except ValueError as error:  # more records announced than received
                self.refused += 1
                self.say(f"<- refused: {error}")
                return b""
            self.events += len(events)
            for e in events:
                code = "" if e.code is None else f" code 0x{e.code:02X}"
                self.say(f"     event kind {e.kind}{code} values {e.values}")
        elif code == FINGER_UPLOAD:
            upload = v.get_finger_data(buffer)
            self.templates[upload.leadByte] = bytes(upload.templateData)
        self.accepted += 1
        length = self.reply(buffer, code, device)
        self.replies += 1
        return bytes(buffer[:length])

    def reply(self, buffer: bytearray, code: int, device: tuple[int, int]) -> int:
        if code == VOICE_REQUEST and device[0] == 0:
            word = v.sound_request(buffer)
            return v.send_sound_data(buffer, bytes((word + i) & 0xFF for i in range(VOICE_CLIP)))
        if code == FINGER_REQUEST:
            slot = v.get_finger_data(buffer).leadByte
            return v.send_finger_data(buffer, self.templates.get(slot, bytes(128)))
        if device not in self.seen:
            self.seen.add(device)
            return v.SendTimer(buffer)
        if code in (CONFIGURATION, FIRMWARE):
            return v.SendNetConfigration(buffer)
        if code == CARD_LIST:
            return v.send_cards(buffer, CARDS)
        return v.SendDeviceEcho(buffer)


def main() -> int:
    parser = argparse.ArgumentParser(description="A small link host over UDP on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=47810, help="UDP port (0: a free one)")
    parser.add_argument("--seconds", type=float, default=0, help="stop after this long (0: never)")
    parser.add_argument("--quiet", action="store_true", help="print only the port and summary")
    options = parser.parse_args()

    stop = []
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.append(True))
    host = Host(options.quiet)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.bind(("127.0.0.1", options.port))
        udp.settimeout(0.25)
        print(f"host.py: listening on 127.0.0.1:{udp.getsockname()[1]}", flush=True)
        deadline = time.monotonic() + options.seconds if options.seconds > 0 else None
        while not stop and (deadline is None or time.monotonic() < deadline):
            try:
                datagram, sender = udp.recvfrom(65536)
            except (socket.timeout, InterruptedError):
                continue
            reply = host.answer(datagram)
            if reply:
                udp.sendto(reply, sender)
    print(
        f"host.py: packets accepted {host.accepted}, refused {host.refused}, "
        f"events decoded {host.events}, replies sent {host.replies}",
        flush=True,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
