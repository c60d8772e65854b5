#!/usr/bin/python3
"""Writes the voice-throughput song: many held notes of one looping program.

  bench/voice_throughput_song.py OUT.mid [--program P] [--channels C] [--keys K]
                                 [--low-key L] [--seconds S] [--one-note]

Default: 15 channels (the drum channel skipped) x 64 keys (36..99) of program
16 (an organ: its samples loop, so every note sounds for the whole song), all
struck at time 0 and held for 10 s, about 960 voices. --one-note writes the
same length with a single note, for subtracting start-up and bank loading
from a render's CPU time.
"""
import argparse
import sys

import mido


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output")
    parser.add_argument("--program", type=int, default=18)
    parser.add_argument("--channels", type=int, default=15)
    parser.add_argument("--keys", type=int, default=64)
    parser.add_argument("--low-key", type=int, default=36)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--velocity", type=int, default=60)
    parser.add_argument("--one-note", action="store_true")
    args = parser.parse_args()
    if not 1 <= args.channels <= 15 or not 1 <= args.keys or args.low_key + args.keys > 128:
        parser.error("1..15 channels and keys inside 0..127")

    ticks_per_beat = 480
    tempo = 500000  # 120 bpm: one beat is half a second
    length = int(round(args.seconds * 2 * ticks_per_beat))
    channels = [c if c < 9 else c + 1 for c in range(args.channels)]  # channel 10 (index 9) is drums
    notes = [(channels[0], args.low_key + args.keys // 2)] if args.one_note else [
        (c, args.low_key + k) for c in channels for k in range(args.keys)]

    song = mido.MidiFile(type=0, ticks_per_beat=ticks_per_beat)
    track = mido.MidiTrack()
    song.tracks.append(track)
    track.append(mido.MetaMessage("set_tempo", tempo=tempo, time=0))
    for c in channels:
        track.append(mido.Message("program_change", channel=c, program=args.program, time=0))
        track.append(mido.Message("control_change", channel=c, control=7, value=100, time=0))
    for c, key in notes:
        track.append(mido.Message("note_on", channel=c, note=key, velocity=args.velocity, time=0))
    first = True
    for c, key in notes:
        track.append(mido.Message("note_off", channel=c, note=key, velocity=0, time=length if first else 0))
        first = False
    track.append(mido.MetaMessage("end_of_track", time=0))
    song.save(args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
