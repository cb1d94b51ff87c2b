#!/usr/bin/python3
"""compare_runs.py LINUX_FOLDER LINUX_COMMAND WINDOWS_FOLDER WINDOWS_COMMAND [--model FILE]... [--bench FILE]

Runs a Linux and a Windows duostem on the same songs with the same arguments,
each from its own folder, which holds the default model models/vocals.onnx, and
fails unless their statuses, standard output, standard error and stems agree
byte for byte. The songs are written into both folders: 16-bit stereo, mono,
float, one of several chunks, one under a name with spaces and non-ASCII
letters, and refused inputs. Each --model (a path both folders resolve) is run
on the song of several chunks too. With --bench, one run of that network on a
10-second song, whose stems are compared by their relative RMS difference.
A COMMAND is split into words as a shell would; each run's seconds are printed.
"""
import argparse
import filecmp
import os
import shlex
import struct
import subprocess
import sys
import time
import wave

import numpy as np

# Lines that wine and ONNX Runtime print of their own (wine's notes, the
# runtime's failed processor and display probes under wine, its log lines, which
# open with a colour escape), dropped on both sides by these fixed starts.
FOREIGN_PREFIXES = ("wine: ", "Error in cpuinfo: ", "Failed to create DXGI factory.", "\x1b[")
NONASCII = os.path.join("songs", "Mùsica nueva", "Ünïcode sông.wav")


def write_song(path, frames, channels=2, rate=44100, floating=False, seed=0):
    t = np.arange(frames) / rate
    rng = np.random.default_rng(seed)
    voice = 0.3 * np.sin(2 * np.pi * 440 * t) * (1 + 0.5 * np.sin(2 * np.pi * 3 * t))
    signal = np.stack([voice + 0.1 * rng.standard_normal(t.size), voice - 0.2 * np.sin(2 * np.pi * 110 * t)], 1)
    signal = signal[:, :channels]
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if floating:
        data = signal.astype("<f4").tobytes()
        fmt = struct.pack("<HHIIHH", 3, channels, rate, rate * 4 * channels, 4 * channels, 32)
        with open(path, "wb") as f:
            f.write(b"RIFF" + struct.pack("<I4s4sI", 36 + len(data), b"WAVE", b"fmt ", 16) + fmt +
                    b"data" + struct.pack("<I", len(data)) + data)
        return
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes((np.clip(signal, -1, 1) * 32767).astype("<i2").tobytes())


def write_songs(folder, bench):
    songs = os.path.join(folder, "songs")
    write_song(os.path.join(songs, "stereo.wav"), 3 * 44100)
    write_song(os.path.join(songs, "mono.wav"), 2 * 44100, channels=1, seed=1)
    write_song(os.path.join(songs, "float.wav"), 2 * 44100, floating=True, seed=2)
    write_song(os.path.join(songs, "long.wav"), 400000, floating=True, seed=3)  # four chunks
    write_song(os.path.join(folder, NONASCII), 44100, seed=4)
    write_song(os.path.join(songs, "song48.wav"), 48000, rate=48000)
    if bench:
        write_song(os.path.join(songs, "ten.wav"), 10 * 44100, seed=5)


def run(command, folder, args):
    start = time.monotonic()
    r = subprocess.run(command + args, cwd=folder, capture_output=True, timeout=900)
    seconds = time.monotonic() - start
    err = b"".join(line for line in r.stderr.splitlines(True)
                   if not line.decode("utf-8", "replace").startswith(FOREIGN_PREFIXES))
    return (r.returncode, r.stdout, err), seconds


def stem_files(folder):
    out = os.path.join(folder, "out")
    return sorted(os.path.relpath(os.path.join(d, n), out) for d, _, names in os.walk(out) for n in names)


def relative_rms(a, b):
    x = np.frombuffer(open(a, "rb").read()[44:], "<f4").astype(np.float64)
    y = np.frombuffer(open(b, "rb").read()[44:], "<f4").astype(np.float64)
    return float(np.sqrt(np.sum((x - y) ** 2) / np.sum(x ** 2))) if x.size == y.size else float("inf")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("linux_folder")
    parser.add_argument("linux_command")
    parser.add_argument("windows_folder")
    parser.add_argument("windows_command")
    parser.add_argument("--model", action="append", default=[])
    parser.add_argument("--bench")
    a = parser.parse_args()
    sides = ((a.linux_folder, shlex.split(a.linux_command)), (a.windows_folder, shlex.split(a.windows_command)))
    for folder, _ in sides:
        write_songs(folder, a.bench)

    # The arguments, and the status both sides must give.
    cases = [([os.path.join("songs", n), "--out-dir", os.path.join("out", n[:-4])], 0)
             for n in ("stereo.wav", "mono.wav", "float.wav", "long.wav")]
    cases.append(([NONASCII, "--out-dir", os.path.join("out", "nuevo", "ñ stems")], 0))
    cases += [([os.path.join("songs", "long.wav"), "--model", m, "--out-dir", os.path.join("out", f"model{i}")], 0)
              for i, m in enumerate(a.model)]
    cases += [([os.path.join("songs", "song48.wav")], 1), (["missing.wav"], 1), (["songs"], 1), ([], 2),
              (["--help"], 0), ([os.path.join("songs", "stereo.wav"), "--no-such-option"], 2)]
    if a.bench:
        cases.append(([os.path.join("songs", "ten.wav"), "--model", a.bench, "--out-dir", os.path.join("out", "bench")], 0))
    failures = 0
    for args, status in cases:
        (linux, linux_s), (windows, windows_s) = (run(command, folder, args) for folder, command in sides)
        same = linux == windows and linux[0] == status
        failures += not same
        print(f"{'as wanted' if same else 'NOT AS WANTED'}: duostem {shlex.join(args)}: "
              f"Linux {linux_s:.1f} s, Windows {windows_s:.1f} s, status {linux[0]}", flush=True)
        if not same:
            print(f"  Linux:   {linux}\n  Windows: {windows}")

    names = stem_files(a.linux_folder)
    if names != stem_files(a.windows_folder) or not names:
        print(f"DIFFERENT stems: Linux {names}, Windows {stem_files(a.windows_folder)}")
        failures += 1
    bench_stems = os.path.join("bench", "")
    for name in names:
        paths = [os.path.join(folder, "out", name) for folder, _ in sides]
        if name.startswith(bench_stems):
            # Reported as a figure: the runtime may pick other kernels on another system.
            rms = relative_rms(*paths)
            print(f"{name}: relative RMS difference {rms:.3g}"
                  f"{', bit-identical' if filecmp.cmp(*paths, shallow=False) else ''}")
            failures += rms > 1e-5
        elif not filecmp.cmp(*paths, shallow=False):
            print(f"DIFFERENT bytes: {name}")
            failures += 1
    print(f"{len(names)} stems compared, {failures} differences")
    sys.exit(1 if failures else 0)


main()
