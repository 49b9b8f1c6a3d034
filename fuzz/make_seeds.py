#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into fuzz/corpus/<target>/.

Each seed walks one target deep into a state that random bytes reach only slowly: whole update
runs for the engine, a whole unlock-erase-program-check-reboot session for the device. The input
layouts are those described at the top of fuzz_engine.cpp and fuzz_device.cpp.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v)


# --- engine ---------------------------------------------------------------------------------

GOOD, DUP, ERROR, TICKS, LONG_TICKS, RESTART = 2, 3, 4, 5, 6, 7


def pattern(text):
    return bytes([len(text)]) + text


def engine_header(two_files, one_mb, image_pages, image_sector, flash_sector, tts_pages,
                  image_pattern=b"hidiap image", tts_pattern=b"tts data", skip=False,
                  survey_sees_erased=False):
    flags = ((1 if two_files else 0) | (2 if one_mb else 0) | (4 if skip else 0) |
             (8 if survey_sees_erased else 0))
    return (bytes([flags]) + u16(image_pages - 1) + u16(image_sector) + u16(flash_sector) +
            u16(tts_pages - 1) + pattern(image_pattern) + pattern(tts_pattern))


def raw_answer(data):
    return bytes([0, len(data)]) + data


def good(n):
    return bytes([GOOD]) * n


def engine_seeds():
    # Unlock, erase, 16 pages, erase, 4 pages, check, reboot: 25 answers; the rest find it idle.
    yield "one_file_success", engine_header(False, False, 20, 8, 8, 4) + good(30)
    # Image then TTS (1 MB layout), each with its own check, then the reboot.
    yield "two_files_success", engine_header(True, True, 20, 8, 8, 12) + good(60)
    # The other layout, the image ending at the last sector of the buffer and of the flash.
    yield "two_files_at_ends", (engine_header(True, False, 16, 0x1FB, 0x1FF, 2) + good(3) +
                                bytes([DUP]) + good(40))
    # A check answered with the wrong CRC ends the run with an error.
    yield "check_mismatch", (engine_header(False, False, 4, 8, 8, 1) + good(6) +
                             raw_answer(bytes.fromhex("a50c0080910012345678") + b"\0\0"))
    # Answers dry up: every state's retries run out into a timeout.
    yield "timeouts", (engine_header(True, False, 2, 8, 8, 1) + good(2) +
                       bytes([LONG_TICKS, 255]) + bytes([TICKS, 200]) * 3)
    # A whole run, then a second one on the same record, set up again as the host does.
    yield "restart_as_host", (engine_header(True, False, 2, 8, 8, 1) + good(12) +
                              bytes([RESTART, 1]) + u16(5) + u16(16) + u16(32) + good(16))
    # Skipping unchanged sectors: the image's survey finds it unchanged, the TTS data's finds
    # its range erased; a second run on the same record finds a range that differs in places
    # and asks sector by sector.
    yield "skip_unchanged", (engine_header(True, True, 40, 8, 8, 20, skip=True) + good(60) +
                             bytes([RESTART, 1]) + u16(47) + u16(16) + u16(32) + good(200))
    # The same with sectors read as erased, a repeated answer and a survey left unanswered.
    yield "skip_erased_faults", (engine_header(True, False, 40, 8, 8, 20, skip=True,
                                               survey_sees_erased=True) + good(3) +
                                 bytes([DUP]) + good(30) + bytes([LONG_TICKS, 20]) + good(100))
    # Error answers, short answers and ticks in between.
    yield "errors_and_short", (engine_header(True, True, 3, 0, 0, 1) + good(1) +
                               bytes([ERROR, 0x10]) + raw_answer(b"") + raw_answer(b"\xa5\x08") +
                               bytes([TICKS, 15]) + good(10) + bytes([ERROR, 1]) + good(4))


# --- device ---------------------------------------------------------------------------------

RAW, FRAME, LONG_FRAME, PAGE, DEV_TICKS, POP = 0, 1, 2, 3, 4, 5


def frame(command, payload=b""):
    return bytes([FRAME, command, len(payload)]) + payload


def page(index, fill):
    return bytes([PAGE]) + u16(index) + bytes([fill])


def pop(n):
    return bytes([POP, n - 1])


def long_write(addr, count, fill):
    payload = (u32(addr) + u16(count) + bytes([fill]) * 51)[:57]
    return bytes([LONG_FRAME, 0x84]) + u16(6 + count) + payload


def session():
    out = frame(0x82) + pop(1)
    out += frame(0x83, u32(0x8000)) + pop(1)
    for i in range(4):
        out += page(0x80 + i, 0x30 + i) + pop(1)
    out += frame(0x91, u32(0x8000) + u32(0x400)) + pop(1)
    out += long_write(0x9000, 256, 0x5A) + pop(1)
    out += frame(0x84, u32(0x9100) + u16(8) + b"12345678") + pop(1)
    out += frame(0x81) + frame(0x86) + pop(2)
    out += bytes([RAW, 10]) + bytes.fromhex("01a50a00820000000000") + pop(1)
    return out


def rules(*texts):
    return bytes([len(texts)]) + b"".join(t.encode() + b"\n" for t in texts)


def device_seeds():
    yield "clean_session", rules() + session()
    yield "drop_delay_dup", (rules("drop:page:1", "delay:check:1:5", "dup:erase:1",
                                   "corrupt:page:2:7") + session() + bytes([DEV_TICKS, 9]) +
                             pop(4))
    yield "unplug", rules("unplug:any:6") + session()
    yield "error_fail_write", rules("error:unlock:1:0x42", "fail-write:erase:1") + session()


# --- fault rules ----------------------------------------------------------------------------

def fault_rule_seeds():
    for i, text in enumerate(["drop:page:1", "error:unlock:2:0x42", "delay:check:1:500",
                              "corrupt:write:3:255", "unplug:any:7", "fail-write:0x93:1",
                              "dup:reboot:1"]):
        yield "rule%d" % i, text.encode()


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("fuzz_engine", engine_seeds())
    write("fuzz_device", device_seeds())
    write("fuzz_fault_rule", fault_rule_seeds())
