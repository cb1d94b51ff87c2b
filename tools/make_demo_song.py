#!/usr/bin/python3
"""Writes a short demo song with its true stems, deterministic given --seed.

The voice is espeak-ng singing one word per melody note (pitch held per note
through SSML prosody, a little vibrato added) in the centre. Chords sit left
and an arpeggio right; a bass line and a drum kit sit in the centre, so a
centre-channel separator has something honest to leak. Voice and band each get
a small stereo room reverb, which belongs to their stem. The seed picks tempo,
key, chord progression, lyric order, melody, voice and the noise of drums and
reverb.

Outputs, for --out DIR/NAME.wav:
  DIR/NAME.wav                      the mix, 16-bit stereo PCM, 44100 Hz
  DIR/NAME_true_vocals.wav          the vocal stem, 32-bit float stereo
  DIR/NAME_true_instrumental.wav    the instrumental stem, 32-bit float stereo

Both stems are rounded to the 16-bit grid before they are summed, so each holds
exact multiples of 2^-15 and the two add up, sample for sample, to the mix as
the tool decodes it.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

import numpy as np
import soundfile

RATE = 44100
ESPEAK_RATE = 22050
PEAK = 0.89  # about -1 dBFS for the mix

LYRICS = [
    "the sun goes down on the long road home",
    "I hear you call in the cold night air",
    "we sing of days that will not come back",
    "hold on to me till the morning light",
    "the wind is high and the sea is wide",
    "your voice is all that I need to know",
]

# Chord progressions as scale degrees (0-based, major scale) of the roots.
PROGRESSIONS = [[0, 5, 3, 4], [0, 4, 5, 3], [5, 3, 0, 4], [0, 3, 4, 3]]
MAJOR = [0, 2, 4, 5, 7, 9, 11]

# Voices: espeak-ng variant and the MIDI range of the melody.
VOICES = [("en-us+f2", 62, 74), ("en-us+m3", 50, 62), ("en+f3", 60, 72), ("en-us+m2", 48, 60)]


def fail(message):
    sys.stderr.write("make_demo_song: error: %s\n" % message)
    sys.exit(2)


def midi_hz(note):
    return 440.0 * 2.0 ** ((note - 69) / 12.0)


def pan_gains(position):
    """Constant-power pan, position -1 (left) to +1 (right)."""
    angle = (position + 1.0) * np.pi / 4.0
    return np.cos(angle), np.sin(angle)


class Song:
    def __init__(self, rng, seconds):
        self.rng = rng
        self.frames = int(round(seconds * RATE))
        self.tempo = float(rng.integers(92, 113))
        self.beat = 60.0 / self.tempo
        self.bar = 4 * self.beat
        self.key = 48 + int(rng.integers(0, 7))  # tonic, C3 to F#3
        self.progression = PROGRESSIONS[int(rng.integers(0, len(PROGRESSIONS)))]
        self.bars = int(np.ceil(seconds / self.bar))

    def chord(self, bar):
        """MIDI notes of the triad of bar: root, third, fifth."""
        degree = self.progression[bar % len(self.progression)]
        return [self.key + MAJOR[(degree + step) % 7] + 12 * ((degree + step) // 7) for step in (0, 2, 4)]

    def seconds_to_frame(self, t):
        return int(round(t * RATE))


def add_note(track, start, signal):
    end = min(len(track), start + len(signal))
    if start < end:
        track[start:end] += signal[: end - start]


def harmonic_tone(freq, duration, harmonics, decay, attack=0.005):
    n = int(duration * RATE)
    t = np.arange(n) / RATE
    out = np.zeros(n)
    for h, amp in enumerate(harmonics, start=1):
        if h * freq >= RATE / 2 - 1000:
            break
        out += amp * np.sin(2 * np.pi * h * freq * t) * np.exp(-t * decay * (1 + 0.3 * h))
    env = np.minimum(1.0, t / attack)
    release = min(n, int(0.03 * RATE))
    env[n - release:] *= np.linspace(1.0, 0.0, release)
    return out * env


def chords_track(song):
    out = np.zeros(song.frames)
    piano = [1.0, 0.5, 0.3, 0.2, 0.12, 0.08, 0.05, 0.03]
    for bar in range(song.bars):
        notes = song.chord(bar)
        notes = [notes[0] + 12] + notes[1:] + [notes[0] + 24]
        for half in range(2):
            start = song.seconds_to_frame(bar * song.bar + half * 2 * song.beat)
            for note in notes:
                add_note(out, start, harmonic_tone(midi_hz(note), 2 * song.beat, piano, 1.2))
    return out


def arpeggio_track(song):
    out = np.zeros(song.frames)
    pluck = [1.0, 0.6, 0.4, 0.25, 0.15, 0.1, 0.06, 0.04, 0.03, 0.02]
    pattern = [0, 1, 2, 3, 2, 1, 2, 3]
    for bar in range(song.bars):
        tones = song.chord(bar)
        tones = [n + 24 for n in tones] + [tones[0] + 36]
        for step in range(8):
            start = song.seconds_to_frame(bar * song.bar + step * song.beat / 2)
            add_note(out, start, harmonic_tone(midi_hz(tones[pattern[step]]), song.beat / 2, pluck, 6.0))
    return out


def bass_track(song):
    out = np.zeros(song.frames)
    bass = [1.0, 0.45, 0.25, 0.12, 0.06]
    rhythm = [0.0, 1.5, 2.0, 3.0]
    for bar in range(song.bars):
        root = song.chord(bar)[0] - 12
        for i, beat in enumerate(rhythm):
            start = song.seconds_to_frame(bar * song.bar + beat * song.beat)
            length = (rhythm[i + 1] if i + 1 < len(rhythm) else 4.0) - beat
            note = root + (7 if i == 2 and song.rng.random() < 0.5 else 0)
            add_note(out, start, harmonic_tone(midi_hz(note), length * song.beat * 0.95, bass, 0.8))
    return out


def drum_track(song):
    rng = song.rng
    out = np.zeros(song.frames)
    # Kick: a falling sine.
    n = int(0.35 * RATE)
    t = np.arange(n) / RATE
    freq = 50 + 90 * np.exp(-t * 30)
    kick = np.sin(2 * np.pi * np.cumsum(freq) / RATE) * np.exp(-t * 9)
    # Snare: a tone and a burst of noise, the noise smoothed a little.
    n = int(0.25 * RATE)
    t = np.arange(n) / RATE
    noise = rng.standard_normal(n)
    noise = noise - 0.5 * np.concatenate(([0.0], noise[:-1]))
    snare = 0.5 * np.sin(2 * np.pi * 185 * t) * np.exp(-t * 25) + 0.45 * noise * np.exp(-t * 18)
    # Hi-hat: high-passed noise, very short.
    n = int(0.06 * RATE)
    t = np.arange(n) / RATE
    noise = rng.standard_normal(n + 1)
    hat = 0.25 * np.diff(noise) * np.exp(-t * 70)
    for bar in range(song.bars):
        for eighth in range(8):
            start = song.seconds_to_frame(bar * song.bar + eighth * song.beat / 2)
            if eighth in (0, 5) or (eighth == 3 and rng.random() < 0.3):
                add_note(out, start, kick)
            if eighth in (2, 6):
                add_note(out, start, snare)
            add_note(out, start, hat * (1.0 if eighth % 2 == 0 else 0.6))
    return out


def melody(song, voice_low, voice_high):
    """(start seconds, duration seconds, MIDI note, syllable) for each sung note."""
    rng = song.rng
    order = rng.permutation(len(LYRICS))
    notes = []
    line = 0
    # Sing two bars, rest a bar; the first bar is an intro.
    bar = 1
    current = (voice_low + voice_high) // 2
    scale = [song.key + 12 * octave + step for octave in range(-2, 4) for step in MAJOR]
    while bar + 2 <= song.bars and line < len(LYRICS):
        words = LYRICS[order[line]].split()
        beats = 8.0
        per = beats / len(words)
        for i, word in enumerate(words):
            start_beat = i * per
            bar_index = bar + int(start_beat // 4)
            chord = set(n % 12 for n in song.chord(bar_index))
            choices = [n for n in scale if voice_low <= n <= voice_high and abs(n - current) <= 4]
            weights = np.array([3.0 if n % 12 in chord else 1.0 for n in choices])
            current = int(rng.choice(choices, p=weights / weights.sum()))
            length = per * (1.6 if i == len(words) - 1 else 0.92)
            notes.append((bar * song.bar + start_beat * song.beat, length * song.beat, current, word))
        line += 1
        bar += 3
    return notes


def espeak_syllable(workdir, voice, word, freq):
    path = os.path.join(workdir, "syllable.wav")
    ssml = '<speak><prosody pitch="%.1fHz" range="0%%">%s</prosody></speak>' % (freq, word)
    try:
        subprocess.run(["espeak-ng", "-m", "-v", voice, "-s", "95", "-w", path, ssml],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    except subprocess.CalledProcessError as error:
        fail("espeak-ng failed on %r: %s" % (word, error.stderr.decode(errors="replace").strip()))
    data, rate = soundfile.read(path, dtype="float64")
    if rate != ESPEAK_RATE or data.ndim != 1:
        fail("espeak-ng wrote %d Hz, %d channel(s); expected %d Hz mono" % (rate, data.ndim, ESPEAK_RATE))
    loud = np.flatnonzero(np.abs(data) > 0.02 * max(np.max(np.abs(data)), 1e-9))
    if len(loud) == 0:
        return np.zeros(0)
    data = data[loud[0]:loud[-1] + 1]
    # Exact 2x upsampling through the spectrum.
    spectrum = np.fft.rfft(data)
    up = np.fft.irfft(spectrum, 2 * len(data)) * 2.0
    return up


def vibrato(signal, rate_hz, depth):
    """Frequency modulation by a sinusoidally varying delay: depth is the relative pitch swing."""
    n = len(signal)
    t = np.arange(n) / RATE
    delay = depth / (2 * np.pi * rate_hz) * np.sin(2 * np.pi * rate_hz * t) * RATE
    position = np.clip(np.arange(n) - delay - np.max(np.abs(delay)), 0, n - 1)
    return np.interp(position, np.arange(n), signal)


def vocal_track(song, voice, notes):
    out = np.zeros(song.frames)
    workdir = tempfile.mkdtemp(prefix="make_demo_song.")
    try:
        for start, duration, note, word in notes:
            sung = espeak_syllable(workdir, voice, word, midi_hz(note))
            keep = min(len(sung), int(duration * RATE))
            if keep == 0:
                continue
            sung = vibrato(sung[:keep], 5.5, 0.025)
            fade = min(keep, int(0.04 * RATE))
            sung[keep - fade:] *= np.linspace(1.0, 0.0, fade)
            add_note(out, song.seconds_to_frame(start), sung)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return out


def reverb(stereo, rng, wet, seconds):
    """A small room: each channel gets its own decaying-noise response, so the
    tail is decorrelated between the channels as in a real mix."""
    n = int(seconds * RATE)
    t = np.arange(n) / RATE
    predelay = int(0.02 * RATE)
    out = stereo.copy()
    size = 1 << int(np.ceil(np.log2(len(stereo) + n + predelay)))
    for c in range(2):
        response = rng.standard_normal(n) * np.exp(-t * 6.9 / seconds)
        response *= wet / np.sqrt(np.sum(np.square(response)))
        tail = np.fft.irfft(np.fft.rfft(stereo[:, c], size) * np.fft.rfft(response, size), size)
        out[predelay:, c] += tail[: len(stereo) - predelay]
    return out


def rms(x):
    return float(np.sqrt(np.mean(np.square(x))))


def make_song(seed, seconds):
    rng = np.random.default_rng(seed)
    song = Song(rng, seconds)
    voice, low, high = VOICES[seed % len(VOICES)]
    notes = melody(song, low, high)

    tracks = {
        "chords": (chords_track(song), -0.6, 0.30),
        "arpeggio": (arpeggio_track(song), 0.55, 0.22),
        "bass": (bass_track(song), 0.0, 0.30),
        "drums": (drum_track(song), 0.0, 0.28),
    }
    instrumental = np.zeros((song.frames, 2))
    for signal, position, level in tracks.values():
        gain_left, gain_right = pan_gains(position)
        scaled = signal * (level / max(rms(signal), 1e-12))
        instrumental[:, 0] += gain_left * scaled
        instrumental[:, 1] += gain_right * scaled
    instrumental = reverb(instrumental, rng, 0.25, 0.8)
    vocal = vocal_track(song, voice, notes)
    vocal *= 1.1 * rms(instrumental) / max(rms(vocal), 1e-12)
    vocals = reverb(np.stack([vocal, vocal], axis=1) * np.sqrt(0.5), rng, 0.3, 1.2)

    peak = np.max(np.abs(vocals + instrumental))
    scale = PEAK / peak
    vocals_q = np.round(vocals * scale * 32768.0).astype(np.int32)
    instrumental_q = np.round(instrumental * scale * 32768.0).astype(np.int32)
    mix_q = vocals_q + instrumental_q
    assert np.max(np.abs(mix_q)) <= 32767
    return song, voice, mix_q.astype(np.int16), vocals_q, instrumental_q


def write_float_wav(path, samples):
    """Canonical 44-byte header, format tag 3; no PEAK chunk, whose time stamp would break determinism."""
    data = np.ascontiguousarray(samples, dtype="<f4").tobytes()
    header = b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVE"
    header += b"fmt " + struct.pack("<IHHIIHH", 16, 3, 2, RATE, RATE * 8, 8, 32)
    header += b"data" + struct.pack("<I", len(data))
    with open(path, "wb") as f:
        f.write(header)
        f.write(data)


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Write a demo song and its true vocal and instrumental stems.")
    parser.add_argument("--seed", required=True, help="non-negative integer; the same seed gives the same song")
    parser.add_argument("--out", required=True, help="path of the mix, ending in .wav; the stems go beside it")
    parser.add_argument("--seconds", default="24", help="length in seconds, 20 to 30 (default 24)")
    args = parser.parse_args(argv)
    try:
        seed = int(args.seed)
    except ValueError:
        parser.error("--seed must be a non-negative integer, not %r" % args.seed)
    if seed < 0:
        parser.error("--seed must be a non-negative integer, not %r" % args.seed)
    try:
        seconds = float(args.seconds)
    except ValueError:
        parser.error("--seconds must be a number from 20 to 30, not %r" % args.seconds)
    if not 20.0 <= seconds <= 30.0:
        parser.error("--seconds must be a number from 20 to 30, not %r" % args.seconds)
    if not args.out.endswith(".wav") or os.path.basename(args.out) == ".wav":
        parser.error("--out must name a .wav file, not %r" % args.out)
    directory = os.path.dirname(args.out) or "."
    if not os.path.isdir(directory):
        parser.error("the directory of --out does not exist: %r" % directory)
    return seed, seconds, args.out


def main(argv):
    seed, seconds, out = parse_args(argv)
    if shutil.which("espeak-ng") is None:
        fail("espeak-ng is not installed (run scripts/bootstrap.sh)")
    song, voice, mix, vocals, instrumental = make_song(seed, seconds)
    stem = out[: -len(".wav")]
    paths = (out, stem + "_true_vocals.wav", stem + "_true_instrumental.wav")
    try:
        soundfile.write(paths[0], mix, RATE, subtype="PCM_16")
        write_float_wav(paths[1], vocals / 32768.0)
        write_float_wav(paths[2], instrumental / 32768.0)
    except (OSError, RuntimeError) as error:
        fail("cannot write %s: %s" % (out, error))
    sys.stderr.write("make_demo_song: seed %d, %.1f s, %d BPM, voice %s\n" % (seed, seconds, song.tempo, voice))
    for path in paths:
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
