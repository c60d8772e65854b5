#!/usr/bin/python3
"""Checks the length kelvane-render reports for every song of a folder against
scripts/midi_durations.py (mido): within one frame.

Usage: duration_test.py RENDER WORK_DIR BANK [--songs DIR] [--rate HZ]
Exit status 0 all agree, 1 some differ, 77 bank or songs missing (skipped).
"""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'scripts'))
from midi_durations import duration_frames  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('render')
    parser.add_argument('work')
    parser.add_argument('bank')
    parser.add_argument('--songs', default='/usr/share/games/openttd/baseset/openmsx')
    parser.add_argument('--rate', type=int, default=44100)
    args = parser.parse_args()
    if not os.path.isfile(args.bank) or not os.path.isdir(args.songs):
        print(f'SKIPPED: {args.bank} or {args.songs} is missing (scripts/install-deps.sh installs them)')
        return 77
    songs = sorted(os.path.join(args.songs, f) for f in os.listdir(args.songs) if f.lower().endswith('.mid'))
    os.makedirs(args.work, exist_ok=True)
    out = os.path.join(args.work, 'excerpt.wav')
    failed = 0
    for song in songs:
        # A few milliseconds are enough for the summary, which gives the song's length.
        run = subprocess.run([args.render, '-b', args.bank, '-r', str(args.rate), '--length', '0.01', '-o', out, song],
                             capture_output=True, text=True)
        match = re.search(r'\(song (\d+) frames\)', run.stdout)
        if run.returncode != 0 or not match:
            print(f'{song}: no length reported ({run.returncode}): {run.stderr.strip()}')
            failed += 1
            continue
        ours = int(match.group(1))
        theirs = duration_frames(song, args.rate)
        ok = abs(ours - theirs) <= 1.0
        failed += not ok
        print(f'{"ok  " if ok else "FAIL"} {os.path.basename(song)}: {ours} frames, mido {theirs:.3f}')
    if os.path.exists(out):
        os.remove(out)
    print(f'{len(songs) - failed} of {len(songs)} songs agree within one frame')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
