#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Writes the seed corpora of the whole-program fuzz targets: valid reader
answers for each target's exchanges, and a few broken ones, in the record
format of fake_hid.cpp (0xFE time-out, 0xFF failure, else a length and the
report bytes: control byte, payload)."""
import os
import struct
import sys

TOP = os.path.dirname(os.path.abspath(__file__))

CTL_ACK, CTL_DONE, CTL_ERROR, CB_REQUEST = 2, 4, 9, 21
TIMEOUT, FAILURE = b"\xfe", b"\xff"

# Indexes into reader_models.
SERVICE, KEYBOARD, SERIAL = 0, 2, 4
EMPTY_BUS = 15


def report(control, payload):
    return bytes([64]) + (bytes([control]) + payload).ljust(64, b"\0")


def header(kind, value=0, code=0, capacity=0):
    return report(0x80 | 11, struct.pack(">BiHI", kind, value, code, capacity))


def done(value, length):
    return report(0x80 | 11, struct.pack(">BiiH", CTL_DONE, value, length, 0))


def data(payload):
    return b"".join(report(len(payload[i:i + 63]), payload[i:i + 63])
                    for i in range(0, len(payload), 63))


def exchange(value=0, out=b""):
    return header(CTL_ACK) + done(value, len(out)) + (data(out) if out else b"")


def callback(code, payload=b""):
    return header(CB_REQUEST, len(payload), code) + (data(payload) if payload else b"")


def status(code):
    return exchange(0, struct.pack(">I", code))


def batch(op, products, stream, flags=0, argument=0, fail_write=0, fail_open=0):
    return bytes([fail_write, fail_open] + products + [op, flags, argument]) + stream


def batch_seeds():
    kbd4, ser4 = [KEYBOARD] * 4, [SERIAL] * 4
    file63, file1100 = 2 << 3, 3 << 3
    module_update = exchange(0) + exchange(0) * 3 + exchange(0)  # start, 3 pieces, finish
    return {
        "get_config": batch(0, ser4, exchange(0, b"READER=50\nSOUND=0\n")),
        "get_config_long": batch(0, ser4, exchange(0, bytes(range(256)) * 3)),
        "send_config": batch(1, ser4, exchange(0), flags=file63),
        "update_from_service": batch(2, [SERVICE, SERIAL, SERIAL, SERIAL],
                                     exchange(0) + exchange(0) + status(1) + exchange(1),
                                     flags=file1100),
        "update_with_switch": batch(2, [SERIAL, SERVICE, SERIAL, SERIAL],
                                    exchange(0) + exchange(0) + exchange(0) + status(1) +
                                    exchange(0) + module_update, flags=file1100),
        "update_busy_module": batch(2, [SERVICE, SERIAL, SERIAL, SERIAL],
                                    exchange(0) + exchange(0) + exchange(-25) * 3 + status(1) +
                                    exchange(-25) * 2 + exchange(0) + module_update,
                                    flags=file1100 | 1),
        "update_lost": batch(2, [SERVICE, EMPTY_BUS, EMPTY_BUS, EMPTY_BUS],
                             exchange(0) + exchange(0), flags=file63),
        "defaults": batch(3, kbd4, exchange(0), flags=1),
        "log": batch(4, kbd4, exchange(0, b"log line 1\nlog line 2\n")),
        "custom_config": batch(5, ser4, exchange(0), flags=file63),
        "protocol": batch(6, ser4, exchange(0), argument=7),
        "service_firmware": batch(7, kbd4, exchange(0), flags=file1100),
        "raw_function": batch(8, ser4, exchange(3, b"Reader ready\0"), argument=12),
        "module_check": batch(9, ser4, exchange(-25) + exchange(0) + module_update,
                              flags=file1100),
        "request_error": batch(0, ser4, header(CTL_ERROR, -7)),
        "done_error": batch(0, ser4, header(CTL_ACK) + header(CTL_ERROR, -3)),
        "timeouts": batch(0, ser4, TIMEOUT * 6),
        "hid_failure": batch(4, kbd4, header(CTL_ACK) + FAILURE),
        "callback_first": batch(0, ser4, callback(1, b"1234\0") + exchange(0, b"CFG\n")),
        "write_fails": batch(1, ser4, exchange(0), flags=file1100, fail_write=3),
        "open_fails": batch(0, ser4, exchange(0), fail_open=1),
        "by_serial": batch(0, ser4, exchange(0, b"X=1\n"), flags=0x42),
    }


def reader_info_seeds():
    params = b"".join(exchange(0, v + b"\0") for v in
                      [b"2.14.0", b"1.0.3", b"1", b"1", b"0", b"0", b"0", b"0", b"50", b"1",
                       b"0", b"0", b"3", b"1", b"0", b"HWRD2S0002", b"1700000000"])
    record = bytearray(128)
    record[1:4] = b"\x03\x01\x00"
    record[5:9] = struct.pack("<I", 0x11)
    record[11:11 + 9] = b"MODSER01\0"
    record[43:43 + 7] = b"PN-100\0"
    record[63:67] = struct.pack(">I", 1700000000)
    record[67:70] = b"\x01\x02\x03"
    module = (exchange(0, b"LibReader 3.4.0\0") + exchange(0, b"\x01") +
              exchange(0, b"PN-100\nMagstripe\nauto\nproto 1\nfeat\ninfo\nmore\n\0") +
              status(1) + exchange(0, b"Reader ready\0") + exchange(0, bytes(record)))
    return {
        "full_report": bytes([0, SERIAL]) + params + module,
        "keyboard_report": bytes([0, KEYBOARD]) + params + module,
        "no_module": bytes([0, SERIAL]) + params + exchange(0, b"Lib\0") + exchange(0, b"\0"),
        "short_record": bytes([0, SERIAL]) + params + module[:-len(exchange(0, bytes(record)))] +
                        exchange(0, bytes(record[:20])),
        "all_fail": bytes([0, SERIAL]) + header(CTL_ERROR, -2) * 40,
        "timeouts": bytes([0, SERIAL]) + TIMEOUT * 12,
    }


def card_test_seeds():
    setup = (status(1) + exchange(1) + exchange(0, b"\0\0\0\1") + exchange(0, b"1\0") +
             exchange(0) + exchange(0, b"1\0") + exchange(0, b"1\0") +
             exchange(0, b"Lib\0") + exchange(0, b"\x01") + exchange(0, b"PN\nDesc\n\0"))
    card = (callback(1, b"12345678\0") + exchange(0, b"\x00\x07") +
            exchange(0, b"UID 12345678\0") + exchange(0) + exchange(0))
    return {
        "setup_and_card": bytes([0, SERIAL, 0]) + setup + exchange(0) + card +
                          callback(4) + exchange(0),
        "busy_start": bytes([0, KEYBOARD, 4]) + exchange(-25) * 4 + setup + exchange(0),
        "card_error": bytes([0, SERIAL, 0]) + setup + exchange(0) + callback(2) + exchange(0),
        "refused_registration": bytes([0, SERIAL, 0]) + status(1) + exchange(1) +
                                exchange(0, b"\0\0\0\0") + exchange(0, b"1\0") +
                                header(CTL_ERROR, -22),
        "protocol_restore": bytes([0, SERIAL, 8]) + status(1) + exchange(1) +
                            exchange(0, b"\0\0\0\1") + exchange(0, b"1\0") + exchange(0) +
                            exchange(0, b"3\0") + status(1) + exchange(0) + exchange(0) +
                            exchange(-25) + status(1) + exchange(0) + exchange(0, b"\0\0\0\1") +
                            exchange(0, b"Lib\0") + exchange(0, b"\0"),
        "lost": bytes([0, SERIAL, 0]) + setup + exchange(0) + FAILURE,
    }


def write(target, seeds):
    directory = os.path.join(TOP, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    for name, content in seeds.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(content)
    print(f"{target}: {len(seeds)} seeds", file=sys.stderr)


if __name__ == "__main__":
    write("batch", batch_seeds())
    write("reader_info", reader_info_seeds())
    write("card_test", card_test_seeds())
