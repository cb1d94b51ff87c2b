#!/usr/bin/python3
"""scripts/separate-many.sh on a generated folder of songs in many formats: stem
paths and lengths, stems adding up to the converted song, summary and status,
skipping and --force, FLAC stems, duostem's default model, usage errors, an
interrupt, and part of a batch run through a throwaway OpenSSH server on 127.0.0.1.

usage: separate_many_test.py DUOSTEM TEST_MODELS_DIR"""
import getpass
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np
import soundfile as sf

DUOSTEM, MODELS = (os.path.abspath(a) for a in sys.argv[1:3])
SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "separate-many.sh")
MODEL = os.path.join(MODELS, "fail_when_loud.onnx")  # the identity, but refuses loud songs
SECONDS = 1.5  # whole frames at every rate below
LIMIT = 600  # seconds any child may take; running out fails the test (subprocess.TimeoutExpired)
errors = []


def check(ok, what):
    if not ok:
        errors.append(what)


def tones(rate, channels):
    t = np.arange(round(rate * SECONDS)) / rate
    x = 0.2 * (np.sin(2 * np.pi * 330 * t) + np.sin(2 * np.pi * 550 * t))
    return np.stack([x * (1 - 0.3 * c) for c in range(channels)], axis=1)  # channels differ: swaps show


def with_soundfile(subtype):
    return lambda path, x, rate: sf.write(path, x, rate, subtype=subtype)


def with_ffmpeg(codec):
    return lambda path, x, rate: subprocess.run(
        ["ffmpeg", "-v", "error", "-f", "f32le", "-ar", str(rate), "-ac", str(x.shape[1]), "-i", "-",
         "-c:a", codec, path], input=x.astype("<f4").tobytes(), check=True, timeout=LIMIT)


def with_wave(path, x, rate):  # a plain 16-bit PCM WAV that duostem reads
    with wave.open(path, "wb") as w:
        w.setnchannels(x.shape[1]), w.setsampwidth(2), w.setframerate(rate)
        w.writeframes(np.round(x * 32767).astype("<i2").tobytes())


# source, writer, rate, channels, stem base below the output folder
SONGS = [
    ("music/rock/song one.mp3", with_ffmpeg("libmp3lame"), 44100, 2, "rock/song one.mp3"),
    ("music/rock/song one.flac", with_soundfile("PCM_16"), 44100, 2, "rock/song one.flac"),
    ("music/jazz/Ærøskøbing ñandú.ogg", with_ffmpeg("libvorbis"), 44100, 2, "jazz/Ærøskøbing ñandú"),
    ("music/hi-res/studio take.wav", with_soundfile("PCM_24"), 48000, 2, "hi-res/studio take"),
    ("music/mono/voice memo.wav", with_soundfile("PCM_16"), 22050, 1, "mono/voice memo"),
    ("music/old/eight bit.wav", with_soundfile("PCM_U8"), 44100, 2, "old/eight bit"),
    ("music/ok/accepted.wav", with_wave, 44100, 2, "ok/accepted"),
    ("music/live/take.flac", with_soundfile("PCM_24"), 44100, 1, "live/take"),
    ("music/studio/take.flac", with_soundfile("PCM_16"), 44100, 2, "studio/take"),
    ("loose/solo track.m4a", with_ffmpeg("aac"), 44100, 2, "solo track"),  # given as a file
]


def decoded(path, channels):
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "f32le", "-"], capture_output=True, check=True, timeout=LIMIT)
    return np.frombuffer(raw.stdout, "<f4").reshape(-1, channels).astype(np.float64)


def expected_mix(song):
    """The song at 44100 Hz as duostem must have read it: decoded as it is, or the tones
    themselves where it was resampled (compared away from the resampler's edges)."""
    path, _, rate, channels, _ = song
    x = decoded(path, channels) if rate == 44100 else tones(44100, channels)
    return np.repeat(x, 2, axis=1) if channels == 1 else x


def stem_files(out):
    return {os.path.relpath(os.path.join(d, f), out) for d, _, fs in os.walk(out) for f in fs}


def check_stems(out, songs, fmt="wav"):
    want = {f"{base}_({k}).{fmt}" for *_, base in songs for k in ("Vocals", "Instrumental")}
    check(stem_files(out) == want, f"{out}: files {sorted(stem_files(out) ^ want)} differ")
    for song in songs:
        stem = os.path.join(out, song[4])
        if not os.path.exists(f"{stem}_(Vocals).{fmt}"):
            continue
        vocals, instrumental = (sf.read(f"{stem}_({k}).{fmt}")[0] for k in ("Vocals", "Instrumental"))
        mix, edge = expected_mix(song), (0 if song[2] == 44100 else 2000)
        close = len(vocals) == len(mix) and np.allclose(
            (vocals + instrumental)[edge:len(mix) - edge], mix[edge:len(mix) - edge], rtol=0,
            atol=1e-6 if song[2] == 44100 else 1e-4)
        check(close, f"{stem}: {len(vocals)} frames, or stems not adding up to the song of {len(mix)} frames")
        if fmt == "flac":
            check(sf.info(f"{stem}_(Vocals).flac").subtype == "PCM_24", f"{stem}: not 24-bit FLAC")


def run(*args, **kw):
    p = subprocess.run([SCRIPT, "--duostem", "./duostem-logged", "--model", MODEL, *args],
                       capture_output=True, text=True, env=ENV, timeout=LIMIT, **kw)
    return p.returncode, p.stdout.splitlines(), p.stderr.splitlines()


def summary(stderr):
    return [line for line in stderr if " skipped (already done), " in line or ": failed: " in line]


def mtimes(out):
    return {f: os.stat(os.path.join(out, f)).st_mtime_ns for f in stem_files(out)}


def logged(name):
    with open(name, encoding="utf-8") as f:
        return f.read().splitlines()


def start_sshd(d):
    """A throwaway OpenSSH server on 127.0.0.1 whose logins start in d/home, and a
    GNU parallel --sshlogin that reaches it."""
    os.makedirs(f"{d}/home")
    for key in ("host", "user"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", f"{d}/{key}"], check=True, timeout=LIMIT)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with open(f"{d}/sshd_config", "w") as f:
        f.write(f"ListenAddress 127.0.0.1\nPort {port}\nHostKey {d}/host\nPidFile {d}/sshd.pid\n"
                f"AuthorizedKeysFile {d}/user.pub\nStrictModes no\nUsePAM no\nPasswordAuthentication no\n"
                f"KbdInteractiveAuthentication no\nPermitRootLogin prohibit-password\nSetEnv HOME={d}/home\n"
                'ForceCommand cd "$HOME" && eval "$SSH_ORIGINAL_COMMAND"\n')
    with open(f"{d}/ssh_config", "w") as f:
        f.write(f"Host testhost\n HostName 127.0.0.1\n Port {port}\n User {getpass.getuser()}\n"
                f" IdentityFile {d}/user\n IdentitiesOnly yes\n BatchMode yes\n StrictHostKeyChecking no\n"
                f" UserKnownHostsFile {d}/known_hosts\n LogLevel ERROR\n")
    if os.geteuid() == 0:
        os.makedirs("/run/sshd", exist_ok=True)  # sshd's privilege-separation folder
    sshd = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f", f"{d}/sshd_config"],
                            stderr=open(f"{d}/sshd.log", "w"))
    for _ in range(100):
        if subprocess.run(["ssh", "-F", f"{d}/ssh_config", "testhost", "true"], stderr=subprocess.DEVNULL,
                          timeout=LIMIT).returncode == 0:
            break
        time.sleep(0.1)
    return sshd, f"ssh -F {d}/ssh_config testhost"


tmp = tempfile.mkdtemp(prefix="separate-many-test.")
os.chdir(tmp)
for path, writer, rate, channels, _ in SONGS:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    writer(path, tones(rate, channels), rate)
for folder in ("music/loud", "music/bad", "bin"):
    os.makedirs(folder)
loud = 0.9 * np.sin(2 * np.pi * 441 * np.arange(66150) / 44100)
with_wave("music/loud/too loud.wav", np.stack([loud, loud], axis=1), 44100)
with open("music/bad/broken.mp3", "wb") as f:
    f.write(np.random.default_rng(1).bytes(4000))
with open("music/notes.txt", "w") as f:
    f.write("lyrics and chords\n")
# Logging stand-ins: which files the converters and duostem were given, and where duostem ran.
for tool in ("ffmpeg", "ffprobe", "sox"):
    with open(f"bin/{tool}", "w") as f:
        f.write(f'#!/bin/sh\necho "$*" >> {tmp}/tools.log\nexec /usr/bin/{tool} "$@"\n')
with open("duostem-logged", "w") as f:  # the runs, not the questions for the core count and the model
    f.write(f'#!/bin/sh\ncase "$*" in --cores|--print-model) ;; *) echo "$PWD $*" >> {tmp}/duostem.log ;; esac\n'
            f'exec {DUOSTEM} "$@"\n')
for script in ("bin/ffmpeg", "bin/ffprobe", "bin/sox", "duostem-logged"):
    os.chmod(script, 0o755)
open("tools.log", "w").close(), open("duostem.log", "w").close()
ENV = dict(os.environ, PATH=f"{tmp}/bin:" + os.environ["PATH"])
loud_message = subprocess.run([DUOSTEM, "music/loud/too loud.wav", "--model", MODEL, "--out-dir", "x"],
                              capture_output=True, text=True, timeout=LIMIT).stderr.splitlines()
loud_message = [line for line in loud_message if line.startswith("duostem: ")][-1]
failures = [f"separate-many: failed: music/loud/too loud.wav: {loud_message}"]
cores = int(subprocess.run([DUOSTEM, "--cores"], capture_output=True, text=True, timeout=LIMIT).stdout)


def shares_cores(run):  # two songs at once without --threads: half the cores each, or the runtime's choice
    return f" --threads {max(1, cores // 2)} " in run if cores else "--threads" not in run

# A mixed batch: two failures among ten songs and a text file.
status, stdout, stderr = run("--jobs", "2", "--out-dir", "out", "music", "loose/solo track.m4a")
check(status == 1, f"first run: status {status}")
check_stems("out", SONGS)
check(set(stdout) == {f"out/{f}" for f in stem_files("out")}, f"first run: stdout {stdout}")
check(all(shares_cores(r) for r in logged("duostem.log")), f"--jobs 2: {logged('duostem.log')}")
check(len([line for line in stderr if line.startswith("separate-many: [")]) == 12, f"progress: {stderr}")
got = summary(stderr)
check(got[0] == "separate-many: 10 separated, 0 skipped (already done), 2 failed, 1 not audio"
      and got[2:] == failures and got[1].startswith("separate-many: failed: music/bad/broken.mp3: ff"),
      f"first run: summary {got}")
tools = logged("tools.log")

# Again: every separated song skipped without a conversion; only the loud one runs again.
before = mtimes("out")
status, stdout, stderr = run("--out-dir", "out", "music", "loose/solo track.m4a")
check(status == 1 and summary(stderr) == [
    "separate-many: 0 separated, 10 skipped (already done), 2 failed, 1 not audio", got[1]] + failures,
    f"second run: {status} {stderr}")
check(mtimes("out") == before and len(logged("duostem.log")) == 12, "second run separated again")
check("--threads" not in logged("duostem.log")[-1], "one song at a time: --threads passed")
check(all(any(n in line for n in ("broken.mp3", "notes.txt", "too loud.wav")) for line in logged("tools.log")[len(tools):]),
      "second run converted skipped songs")
status, stdout, stderr = run("--force", "--out-dir", "out", "music", "loose/solo track.m4a")
check(status == 1 and summary(stderr)[0].startswith("separate-many: 10 separated, 0 skipped")
      and all(t > before[f] for f, t in mtimes("out").items()), f"--force: {status} {stderr}")

# FLAC stems, no WAV left; two take.flac landing in one folder are numbered in the order given.
# A thread count and an overlap reach every duostem run when given, and only then.
runs_before = len(logged("duostem.log"))
status, _, stderr = run("--format", "flac", "--threads", "2", "--overlap", ".25", "--out-dir", "out-flac",
                        "loose/solo track.m4a", "music/live", "music/studio/take.flac")
check(status == 0, f"flac: {stderr}")
runs = [r for r in logged("duostem.log") if not r.endswith(" --version")]
passed = ["--threads 2 --overlap .25 " in r for r in runs]
check(passed[runs_before:] == [True] * 3 and not any("--overlap" in r for r in runs[:runs_before]),
      f"--threads and --overlap passed as {passed}")
check_stems("out-flac", [SONGS[9], SONGS[7][:4] + ("take",), SONGS[8][:4] + ("take (2)",)], "flac")

# Usage errors: status 2 and the reason first.
for args, message in [
        ([], "no INPUT given"), (["--out-dir"], "--out-dir needs a value"),
        (["--jobs", "0", "music"], "--jobs must be a positive whole number, not 0"),
        (["--format", "mp3", "music"], "--format must be wav or flac, not mp3"),
        (["--threads", "0", "music"], "--threads must be a whole number from 1 to 1024, not 0"),
        (["--threads", "1025", "music"], "--threads must be a whole number from 1 to 1024, not 1025"),
        (["--threads", "2x", "music"], "--threads must be a whole number from 1 to 1024, not 2x"),
        (["--overlap", "0.96", "music"],
         "--overlap must be a decimal from 0.05 to 0.95 (at most three digits after the point), not 0.96"),
        (["--bogus", "music"], "unknown option --bogus"), (["no/such"], "no such file or folder: no/such"),
        (["--model", "/no/model.onnx", "music"], "no such model: /no/model.onnx")]:
    status, _, stderr = run(*args)
    check(status == 2 and stderr[:1] == [f"separate-many: {message}"], f"{args}: {status} {stderr[:1]}")

# Without --model, the model duostem itself would use (beside the build's executable here):
# the same stems as duostem run on the song as it is. Without a default model, duostem's reason.
subprocess.run([SCRIPT, "--duostem", "./duostem-logged", "--out-dir", "out-default", "music/ok/accepted.wav"],
               capture_output=True, env=ENV, timeout=LIMIT, check=True)
subprocess.run([DUOSTEM, "music/ok/accepted.wav", "--out-dir", "direct"], capture_output=True, timeout=LIMIT, check=True)
for kind in ("Vocals", "Instrumental"):
    a, b = f"direct/accepted_({kind}).wav", f"out-default/accepted_({kind}).wav"
    check(open(a, "rb").read() == open(b, "rb").read(), f"default model: {b} differs from duostem's own")
os.makedirs("lone")
shutil.copy(DUOSTEM, "lone/duostem")
os.symlink(os.path.join(os.path.dirname(DUOSTEM), "libonnxruntime.so.1"), "lone/libonnxruntime.so.1")
reason = subprocess.run(["lone/duostem", "--print-model"], capture_output=True, text=True, timeout=LIMIT).stderr
status, stderr = (lambda p: (p.returncode, p.stderr.splitlines()))(subprocess.run(
    [SCRIPT, "--duostem", "lone/duostem", "music/ok"], capture_output=True, text=True, env=ENV, timeout=LIMIT))
check(status == 2 and stderr[:1] == ["separate-many: no default model: " + reason.strip().removeprefix("duostem: ")],
      f"no default model: {status} {stderr[:1]} ({reason})")

# Interrupted while duostem runs: status 130, no stems, no scratch folder, duostem gone.
with open("duostem-slow", "w") as f:
    f.write(f'#!/bin/sh\necho $$ > {tmp}/slow.pid\nsleep 60\nexec {DUOSTEM} "$@"\n')
os.chmod("duostem-slow", 0o755)
batch = subprocess.Popen([SCRIPT, "--duostem", "./duostem-slow", "--model", MODEL, "--out-dir", "out-int", "music"],
                         stderr=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=ENV)
deadline = time.monotonic() + LIMIT
while not os.path.exists("slow.pid"):
    if time.monotonic() > deadline:
        batch.kill()
        sys.exit("interrupt: duostem never started")
    time.sleep(0.05)
batch.send_signal(signal.SIGINT)
status = batch.wait(timeout=30)
pid = int(open("slow.pid").read())
for _ in range(50):  # a killed process is gone once reaped
    if not os.path.exists(f"/proc/{pid}"):
        break
    time.sleep(0.1)
check(status == 130 and stem_files("out-int") == set() and os.listdir("out-int") == []
      and not os.path.exists(f"/proc/{pid}"), f"interrupt: status {status}, left {stem_files('out-int')}")

# Part of the batch on another machine: the same stems, nothing left behind there.
sshd, login = start_sshd(f"{tmp}/ssh")
try:
    remote = [SONGS[0], SONGS[1], SONGS[6]]
    status, _, stderr = run("--jobs", "2", "--sshlogin", login, "--out-dir", "out-remote", "music/rock", "music/ok")
    check(status == 0, f"remote: {stderr}")
    for *_, base in remote:
        for kind in ("Vocals", "Instrumental"):
            a, b = f"out/{base}_({kind}).wav", f"out-remote/{base.split('/')[1]}_({kind}).wav"
            check(os.path.exists(b) and open(a, "rb").read() == open(b, "rb").read(), f"remote: {b} differs")
    runs = logged("duostem.log")[-3:]
    check(all(r.startswith(f"{tmp}/ssh/home/.parallel/tmp/") and shares_cores(r) for r in runs), f"remote: ran in {runs}")
    left = [os.path.join(d, f) for d, ds, fs in os.walk(f"{tmp}/ssh/home") for f in fs + ds]
    check(left == [], f"remote: left behind {left}")
finally:
    sshd.terminate()
    sshd.wait(timeout=LIMIT)

if errors:
    print("\n".join(errors))
    print(f"(files kept in {tmp})")
    sys.exit(1)
subprocess.run(["rm", "-rf", tmp], timeout=LIMIT)
print("separate-many: all checks passed")
