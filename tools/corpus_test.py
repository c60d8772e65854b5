#!/usr/bin/python3
"""Renders every song of a folder with kelvane-render and checks the result
against what an independent reader (mido) says about the song: no NaN, the
expected length, sound, no clipping (default settings, AGC off) and a level
that follows the notes, second by second.

Usage: corpus_test.py RENDER WORK_DIR BANK [--songs DIR] [--rate HZ] [--seconds S]
  --seconds S renders only the first S seconds of each song (0 = whole songs).
Exit status 0 all passed, 1 a check failed, 77 bank or songs missing (skipped).
"""
import argparse
import math
import os
import re
import subprocess
import sys
import wave

import mido
import numpy

TAIL_MAX_SECONDS = 10.0      # the renderer's longest release tail
TAIL_SILENCE_SECONDS = 0.5   # the silence that ends the tail
RELEASE_SECONDS = 4.0        # longest release plus reverb after a note-off
SILENT_DBFS = -60.0          # a second without notes (and their release) stays below this
SOUNDING_DBFS = -65.0        # a second with notes is above this, mostly
SUMMARY = re.compile(r'\(song (\d+) frames\).*peak (\S+) dBFS, (\d+) clipped samples, '
                     r'at most (\d+) voices sounding at once, (\d+) of (\d+) samples loaded \((\d+) during rendering\)')


def note_spans(path):
    """(on, off) in seconds from the first note-on, as the renderer counts time."""
    song = mido.MidiFile(path)
    now = 0.0
    first = None
    held = {}
    spans = []
    for message in song:
        now += message.time
        if message.type == 'note_on' and message.velocity > 0:
            if first is None:
                first = now
            held.setdefault((message.channel, message.note), []).append(now)
        elif message.type in ('note_off', 'note_on'):
            starts = held.get((message.channel, message.note))
            if starts:
                spans.append((starts.pop(0), now))
    for starts in held.values():
        spans.extend((s, now) for s in starts)
    first = first or 0.0
    return [(on - first, off - first) for on, off in spans]


def levels_dbfs(samples, rate):
    """RMS of each whole second, both channels, in dBFS."""
    seconds = len(samples) // (rate * 2)
    frames = samples[:seconds * rate * 2].reshape(seconds, rate * 2)
    rms = numpy.sqrt(numpy.mean(frames * frames, axis=1))
    return 20.0 * numpy.log10(numpy.maximum(rms, 1e-10))


def check_song(args, song, work):
    problems = []
    out = os.path.join(work, os.path.basename(song) + '.wav')
    command = [args.render, '-b', args.bank, '-r', str(args.rate), '-o', out, song]
    if args.seconds > 0:
        command[1:1] = ['--length', str(args.seconds)]
    run = subprocess.run(command, capture_output=True, text=True)
    if run.returncode != 0:
        return [f'exit status {run.returncode}: {run.stderr.strip()}']
    if 'NaN' in run.stderr:
        problems.append('NaN or infinite samples')
    match = SUMMARY.search(run.stdout)
    if not match:
        return [f'no summary in {run.stdout!r}']
    song_frames, peak, clipped, voices, loaded, total, late = (
        int(match.group(1)), float(match.group(2)), int(match.group(3)), int(match.group(4)),
        int(match.group(5)), int(match.group(6)), int(match.group(7)))
    if clipped:
        problems.append(f'{clipped} clipped samples (peak {peak} dBFS)')
    if late:
        problems.append(f'{late} samples were loaded during rendering, not beforehand')
    if loaded >= total:
        problems.append(f'every sample was loaded ({loaded} of {total}), not only the song\'s')

    with wave.open(out, 'rb') as w:
        frames = w.getnframes()
        data = numpy.frombuffer(w.readframes(frames), dtype='<i2').astype(numpy.float64) / 32768.0
    os.remove(out)
    rate = args.rate
    longest = song_frames + TAIL_MAX_SECONDS * rate
    if args.seconds > 0:
        longest = min(longest, round(args.seconds * rate))
    shortest = min(song_frames, longest)
    if not shortest <= frames <= longest:
        problems.append(f'{frames} frames, expected {shortest}..{int(longest)}')
    elif frames < longest:  # the tail ended on silence
        tail = numpy.abs(data[-int(TAIL_SILENCE_SECONDS * rate) * 2:])
        if tail.size and tail.max() > 1e-3:
            problems.append('the release tail stopped before silence')

    samples = data.reshape(-1)
    overall = 20.0 * math.log10(max(math.sqrt(float(numpy.mean(samples * samples))), 1e-10))
    if overall < -45.0:
        problems.append(f'nearly silent: {overall:.1f} dBFS RMS')

    levels = levels_dbfs(samples, rate)
    spans = note_spans(song)
    sounding = numpy.zeros(len(levels))
    recent = numpy.zeros(len(levels), dtype=bool)  # a note sounded or released in or shortly before
    for on, off in spans:
        first, last = int(on), int(off)
        for second in range(max(first, 0), min(last + 1, len(levels))):
            sounding[second] += min(off, second + 1) - max(on, second)
        for second in range(max(first, 0), min(int(off + RELEASE_SECONDS) + 1, len(levels))):
            recent[second] = True
    quiet = [s for s in range(len(levels)) if not recent[s]]
    loud_when_quiet = [s for s in quiet if levels[s] > SILENT_DBFS]
    if loud_when_quiet:
        problems.append(f'sound without notes at seconds {loud_when_quiet[:5]} '
                        f'({levels[loud_when_quiet[0]]:.1f} dBFS)')
    busy = [s for s in range(len(levels)) if sounding[s] > 0.5]
    silent_when_busy = [s for s in busy if levels[s] < SOUNDING_DBFS]
    if busy and len(silent_when_busy) > 0.05 * len(busy):
        problems.append(f'{len(silent_when_busy)} of {len(busy)} seconds with notes are silent, '
                        f'e.g. second {silent_when_busy[0]}')
    correlation = float('nan')
    if len(levels) > 2 and numpy.std(sounding) > 0 and numpy.std(levels) > 0:
        correlation = float(numpy.corrcoef(numpy.log1p(sounding), levels)[0, 1])
    print(f'  {os.path.basename(song)}: {frames / rate:.1f} s, peak {peak} dBFS, {overall:.1f} dBFS RMS, '
          f'{voices} voices, {loaded}/{total} samples, level/notes correlation {correlation:.2f}'
          + ('' if not problems else ' FAILED'))
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('render')
    parser.add_argument('work')
    parser.add_argument('bank')
    parser.add_argument('--songs', default='/usr/share/games/openttd/baseset/openmsx')
    parser.add_argument('--rate', type=int, default=44100)
    parser.add_argument('--seconds', type=float, default=0.0)
    args = parser.parse_args()
    if not os.path.isfile(args.bank) or not os.path.isdir(args.songs):
        print(f'SKIPPED: {args.bank} or {args.songs} is missing (scripts/install-deps.sh installs them)')
        return 77
    songs = sorted(os.path.join(args.songs, f) for f in os.listdir(args.songs) if f.lower().endswith('.mid'))
    if not songs:
        print(f'SKIPPED: no MIDI files in {args.songs}')
        return 77
    os.makedirs(args.work, exist_ok=True)
    print(f'{len(songs)} songs with {args.bank} at {args.rate} Hz'
          + (f', first {args.seconds:g} s' if args.seconds > 0 else ''))
    failed = 0
    for song in songs:
        problems = check_song(args, song, args.work)
        for problem in problems:
            print(f'    {problem}')
        failed += bool(problems)
    print(f'{len(songs) - failed} of {len(songs)} songs passed')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
