#!/usr/bin/env python3
"""Several songs in one kelvane-render run sound as each song rendered alone,
and load the same samples, although the run reads the bank once and carries
sample frames from song to song; a song that fails in between changes nothing.
Usage: render_songs_test.py kelvane-render work-dir
Exits 77 (skipped) when TimGM6mb is not installed."""
import os
import re
import struct
import subprocess
import sys

BANK = "/usr/share/sounds/sf2/TimGM6mb.sf2"


def smf(events):
    """Format 0 at 96 ticks per quarter; events are (delta ticks, bytes)."""
    track = b""
    for delta, message in events + [(0, bytes([0xFF, 0x2F, 0]))]:
        varlen = bytes([delta & 0x7F])
        delta >>= 7
        while delta:
            varlen = bytes([0x80 | (delta & 0x7F)]) + varlen
            delta >>= 7
        track += varlen + message
    return b"MThd" + struct.pack(">IHHH", 6, 0, 1, 96) + b"MTrk" + struct.pack(">I", len(track)) + track


def notes(channel, program, keys, velocity=100):
    events = [(0, bytes([0xC0 | channel, program]))]
    for key in keys:
        events += [(0, bytes([0x90 | channel, key, velocity])), (48, bytes([0x80 | channel, key, 0]))]
    return events


# Piano and drums; then strings, the same piano keys and other drums (some
# samples stay, some go, some come); then the first song's instruments again.
SONGS = {
    "first.mid": notes(0, 0, [48, 60, 72]) + notes(9, 0, [36, 38, 42]),
    "second.mid": notes(1, 48, [55, 67]) + notes(0, 0, [60, 72], 60) + notes(9, 0, [36, 49]),
    "third.mid": notes(0, 0, [48, 84]) + notes(9, 0, [38, 42]),
}
SUMMARY = re.compile(r"^(\S+) -> .*?(, peak .*)$")


def data_chunk(path):
    with open(path, "rb") as f:
        raw = f.read()
    at = raw.find(b"data")
    return raw[at + 8:]


def render(render_tool, folder, songs):
    """Exit status and {song: summary without the speed} of one run in folder."""
    os.makedirs(folder, exist_ok=True)
    run = subprocess.run([render_tool, "-b", BANK, "--format", "f32"] + songs, cwd=folder, capture_output=True, text=True)
    summaries = {}
    for line in run.stdout.splitlines():
        match = SUMMARY.match(line)
        if match:
            summaries[os.path.basename(match.group(1))] = match.group(2)
    return run.returncode, summaries


def main():
    render_tool, work = os.path.abspath(sys.argv[1]), sys.argv[2]
    if not os.path.isfile(BANK):
        print(f"SKIPPED: {BANK} is missing")
        return 77
    os.makedirs(work, exist_ok=True)
    paths = []
    for name, events in SONGS.items():
        paths.append(os.path.join(work, name))
        with open(paths[-1], "wb") as f:
            f.write(smf(events))
    missing = os.path.join(work, "missing.mid")

    together = os.path.join(work, "together")
    status, summaries = render(render_tool, together, paths[:2] + [missing] + paths[2:])
    failures = []
    if status != 1:
        failures.append(f"one run with a missing song: exit status {status}, expected 1")
    for path in paths:
        name = os.path.basename(path)
        alone = os.path.join(work, "alone_" + name)
        status, alone_summaries = render(render_tool, alone, [path])
        if status != 0:
            failures.append(f"{name} alone: exit status {status}")
            continue
        wav = name[:-4] + ".wav"
        if data_chunk(os.path.join(together, wav)) != data_chunk(os.path.join(alone, wav)):
            failures.append(f"{name}: the samples differ from the song rendered alone")
        if summaries.get(name) != alone_summaries.get(name):
            failures.append(f"{name}: summary {summaries.get(name)!r}, alone {alone_summaries.get(name)!r}")
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print("the songs of one run equal the songs rendered alone")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
