#!/usr/bin/env python3
"""An RMID song that carries its own DLS bank renders with that bank, with no -b
and no installed bank: render_rmid_dls_test.py kelvane-render work-dir"""
import math
import os
import struct
import subprocess
import sys
import wave


def chunk(cid, data):
    return cid + struct.pack("<I", len(data)) + data + (b"\0" if len(data) % 2 else b"")


def lst(kind, chunks, cid=b"LIST"):
    return chunk(cid, kind + b"".join(chunks))


def dls_bank():
    # One 440 Hz sine wave, looped whole (88 periods at 22050 Hz), unity key 69.
    frames = b"".join(struct.pack("<h", int(16000 * math.sin(2 * math.pi * i * 440 / 22050))) for i in range(4410))
    fmt = struct.pack("<HHIIHH", 1, 1, 22050, 44100, 2, 16)
    wsmp = struct.pack("<IHhiII", 20, 69, 0, 0, 0, 1) + struct.pack("<IIII", 16, 0, 0, 4410)
    wave_list = lst(b"wave", [chunk(b"fmt ", fmt), chunk(b"wsmp", wsmp), chunk(b"data", frames)])
    region = lst(b"rgn ", [chunk(b"rgnh", struct.pack("<HHHHHH", 0, 127, 0, 127, 0, 0)),
                           chunk(b"wlnk", struct.pack("<HHII", 0, 0, 1, 0))])
    ins = lst(b"ins ", [chunk(b"insh", struct.pack("<III", 1, 0, 0)), lst(b"lrgn", [region]),
                        lst(b"INFO", [chunk(b"INAM", b"Sine\0")])])
    return lst(b"DLS ", [chunk(b"colh", struct.pack("<I", 1)), lst(b"lins", [ins]),
                         chunk(b"ptbl", struct.pack("<III", 8, 1, 0)), lst(b"wvpl", [wave_list]),
                         lst(b"INFO", [chunk(b"INAM", b"Song bank\0")])], b"RIFF")


def song():
    # Format 0, 96 ticks per quarter: program 0, A4 for two beats.
    track = bytes([0, 0xC0, 0, 0, 0x90, 69, 100, 0x81, 0x40, 0x80, 69, 0, 0, 0xFF, 0x2F, 0])
    return b"MThd" + struct.pack(">IHHH", 6, 0, 1, 96) + b"MTrk" + struct.pack(">I", len(track)) + track


def main():
    render, work = sys.argv[1], sys.argv[2]
    os.makedirs(os.path.join(work, "empty-root"), exist_ok=True)
    rmid_path = os.path.join(work, "song.rmi")
    with open(rmid_path, "wb") as f:
        f.write(lst(b"RMID", [chunk(b"data", song()), dls_bank()], b"RIFF"))
    out = os.path.join(work, "out.wav")
    env = {k: v for k, v in os.environ.items() if k not in ("KELVANE_DEFAULT_BANK", "XDG_DATA_HOME", "XDG_DATA_DIRS")}
    env["HOME"] = work
    env["KELVANE_SEARCH_ROOT"] = os.path.join(work, "empty-root")
    result = subprocess.run([render, "-q", "-r", "22050", "-o", out, rmid_path], env=env, capture_output=True, text=True)
    if result.returncode != 0:
        print("FAIL: exit", result.returncode, result.stderr)
        return 1
    with wave.open(out) as w:
        rate = w.getframerate()
        data = w.readframes(w.getnframes())
        width, channels = w.getsampwidth(), w.getnchannels()
    if width != 2:
        print("FAIL: expected 16-bit output, got", width * 8)
        return 1
    left = struct.unpack("<%dh" % (len(data) // 2), data)[::channels]
    held = left[rate // 10: rate // 10 + rate // 2]
    crossings = sum(1 for a, b in zip(held, held[1:]) if a < 0 <= b)
    hz = crossings / (len(held) / rate)
    if max(abs(v) for v in held) < 1000 or abs(hz - 440) > 4:
        print("FAIL: expected a 440 Hz tone, measured %.1f Hz" % hz)
        return 1
    print("ok: %.1f Hz" % hz)
    return 0


if __name__ == "__main__":
    sys.exit(main())
