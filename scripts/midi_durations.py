#!/usr/bin/python3
"""Prints each MIDI file's length in frames, from its first note-on to its last
channel or system-exclusive message, computed with mido (an independent
reader) for cross-checking the engine's MIDI file reader.

Usage: midi_durations.py [--rate 44100] file.mid ...
"""
import argparse

import mido


def duration_frames(path, rate):
    song = mido.MidiFile(path)
    seconds = 0.0
    first_note_on = None
    last_event = 0.0
    for message in song:  # merged tracks, delta times in seconds through the tempo map
        seconds += message.time
        if message.type == 'note_on' and first_note_on is None:
            first_note_on = seconds
        if not message.is_meta and (hasattr(message, 'channel') or message.type == 'sysex'):
            last_event = seconds
    start = first_note_on if first_note_on is not None else 0.0
    return max(0.0, last_event - start) * rate


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--rate', type=int, default=44100)
    parser.add_argument('files', nargs='+')
    arguments = parser.parse_args()
    for path in arguments.files:
        print(f'{duration_frames(path, arguments.rate):.3f}\t{path}')


if __name__ == '__main__':
    main()
