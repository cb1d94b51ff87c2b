#!/usr/bin/python3
"""The generators and measuring tools: what they refuse, and the promises the demo leans on."""
import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np
import soundfile

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools")


def run(script, *args):
    return subprocess.run([sys.executable, os.path.join(TOOLS, script), *args],
                          capture_output=True, text=True)


class RefusesBadArguments(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        d = self.dir.name
        self.wav = os.path.join(d, "a.wav")
        soundfile.write(self.wav, np.zeros((100, 2), dtype=np.float32), 44100, subtype="FLOAT")
        self.short = os.path.join(d, "short.wav")
        soundfile.write(self.short, np.zeros((99, 2), dtype=np.float32), 44100, subtype="FLOAT")
        self.slow = os.path.join(d, "slow.wav")
        soundfile.write(self.slow, np.zeros((100, 2), dtype=np.float32), 22050, subtype="FLOAT")
        self.missing = os.path.join(d, "missing.wav")

    def check(self, cases):
        for script, args, message in cases:
            with self.subTest(script=script, args=args):
                r = run(script, *args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertEqual(r.stdout, "")
        self.assertEqual(sorted(os.listdir(self.dir.name)), ["a.wav", "short.wav", "slow.wav"])

    def test_demo_song(self):
        out = os.path.join(self.dir.name, "song.wav")
        self.check([
            ("make_demo_song.py", ["--out", out], "the following arguments are required: --seed"),
            ("make_demo_song.py", ["--seed", "1"], "the following arguments are required: --out"),
            ("make_demo_song.py", ["--seed", "-1", "--out", out], "--seed must be a non-negative integer, not '-1'"),
            ("make_demo_song.py", ["--seed", "1.5", "--out", out], "--seed must be a non-negative integer, not '1.5'"),
            ("make_demo_song.py", ["--seed", "1", "--out", out, "--seconds", "19.9"],
             "--seconds must be a number from 20 to 30, not '19.9'"),
            ("make_demo_song.py", ["--seed", "1", "--out", out, "--seconds", "31"],
             "--seconds must be a number from 20 to 30, not '31'"),
            ("make_demo_song.py", ["--seed", "1", "--out", out, "--seconds", "nan"],
             "--seconds must be a number from 20 to 30, not 'nan'"),
            ("make_demo_song.py", ["--seed", "1", "--out", os.path.join(self.dir.name, "song.flac")],
             "--out must name a .wav file"),
            ("make_demo_song.py", ["--seed", "1", "--out", os.path.join(self.dir.name, "no", "song.wav")],
             "the directory of --out does not exist"),
            ("make_demo_song.py", ["--seed", "1", "--out", out, "extra"], "unrecognized arguments: extra"),
        ])

    def test_default_model(self):
        self.check([
            ("make_default_model.py", [], "usage: make_default_model.py OUTPUT.onnx"),
            ("make_default_model.py", ["a.onnx", "b.onnx"], "usage: make_default_model.py OUTPUT.onnx"),
            ("make_default_model.py", ["--out"], "usage: make_default_model.py OUTPUT.onnx"),
            ("make_default_model.py", [os.path.join(self.dir.name, "model.bin")], "the output must name a .onnx file"),
            ("make_default_model.py", [os.path.join(self.dir.name, "no", "m.onnx")],
             "the directory of the output does not exist"),
        ])

    def test_measuring_tools(self):
        def quality(**changes):
            paths = dict(mix=self.wav, true_vocals=self.wav, true_instrumental=self.wav, vocals=self.wav,
                         instrumental=self.wav)
            paths.update(changes)
            args = []
            for name, path in paths.items():
                if path is not None:
                    args += ["--" + name.replace("_", "-"), path]
            return args
        picture = os.path.join(self.dir.name, "p.png")
        self.check([
            ("stem_quality.py", quality(vocals=None), "the following arguments are required: --vocals"),
            ("stem_quality.py", quality(vocals=self.missing), "cannot read the vocals " + self.missing),
            ("stem_quality.py", quality(instrumental=self.short),
             "the instrumental %s has 99 frames of 2 channel(s), the mix 100 frames of 2 channel(s)" % self.short),
            ("stem_quality.py", quality(true_vocals=self.slow),
             "the true vocals %s is at 22050 Hz, the mix at 44100 Hz" % self.slow),
            ("plot_spectrograms.py", ["--out", picture, self.wav, self.wav], "the following arguments are required"),
            ("plot_spectrograms.py", ["--out", os.path.join(self.dir.name, "p.jpg"), self.wav, self.wav, self.wav],
             "--out must name a .png file"),
            ("plot_spectrograms.py", ["--out", picture, self.wav, self.missing, self.wav],
             "cannot read " + self.missing),
            ("plot_spectrograms.py", ["--out", picture, self.wav, self.slow, self.wav],
             "%s is at 22050 Hz, the mix at 44100 Hz" % self.slow),
        ])


class DemoSong(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.paths = {}
        for name, seed in (("a", "7"), ("b", "7"), ("c", "8")):
            out = os.path.join(cls.dir.name, name + ".wav")
            r = run("make_demo_song.py", "--seed", seed, "--out", out, "--seconds", "20")
            assert r.returncode == 0, r.stderr
            cls.paths[name] = r.stdout.split()

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_prints_the_mix_and_its_stems(self):
        a = os.path.join(self.dir.name, "a")
        self.assertEqual(self.paths["a"], [a + ".wav", a + "_true_vocals.wav", a + "_true_instrumental.wav"])

    def test_formats(self):
        for path, subtype in zip(self.paths["a"], ("PCM_16", "FLOAT", "FLOAT")):
            with self.subTest(path=path):
                info = soundfile.info(path)
                self.assertEqual((info.samplerate, info.channels, info.frames, info.subtype),
                                 (44100, 2, 20 * 44100, subtype))

    def test_same_seed_same_bytes_other_seed_other_song(self):
        for first, again, other in zip(self.paths["a"], self.paths["b"], self.paths["c"]):
            with self.subTest(path=first):
                with open(first, "rb") as f1, open(again, "rb") as f2, open(other, "rb") as f3:
                    a, b, c = f1.read(), f2.read(), f3.read()
                self.assertEqual(a, b)
                self.assertNotEqual(a, c)

    def test_stems_add_up_to_the_mix_exactly(self):
        mix_int, _ = soundfile.read(self.paths["a"][0], dtype="int16")
        vocals, _ = soundfile.read(self.paths["a"][1], dtype="float32")
        instrumental, _ = soundfile.read(self.paths["a"][2], dtype="float32")
        mix = mix_int.astype(np.float32) * np.float32(2.0 ** -15)
        np.testing.assert_array_equal(vocals + instrumental, mix)
        # Both stems carry signal, and the mix keeps its headroom.
        self.assertGreater(np.sqrt(np.mean(vocals ** 2)), 0.01)
        self.assertGreater(np.sqrt(np.mean(instrumental ** 2)), 0.01)
        self.assertLess(np.max(np.abs(mix)), 0.9)


class Quality(unittest.TestCase):
    """Powers of two throughout, so every energy ratio is exact in float WAV files."""

    def test_figures_and_margins(self):
        with tempfile.TemporaryDirectory() as d:
            n = 64
            sign = np.where(np.arange(n) % 2 == 0, 1.0, -1.0)[:, None] * np.ones((1, 2))
            signals = {
                "true-vocals": np.full((n, 2), 0.5),
                "true-instrumental": np.full((n, 2), 0.0625),
                "mix": np.full((n, 2), 0.5625),
                "vocals": 0.5 + 0.03125 * sign,  # error energy 1/256 of the voice's
                "instrumental": 0.0625 - 0.03125 * sign,
            }
            args = []
            for name, data in signals.items():
                path = os.path.join(d, name + ".wav")
                soundfile.write(path, data.astype(np.float32), 44100, subtype="FLOAT")
                args += ["--" + name, path]
            r = run("stem_quality.py", *args)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stdout,
                             "stem            SDR (dB)     mix (dB)     margin\n"
                             "vocals            +24.08       +18.06      +6.02\n"
                             "instrumental       +6.02       -18.06     +24.08\n")
            # A perfect estimate has no distortion at all.
            args[args.index("--vocals") + 1] = os.path.join(d, "true-vocals.wav")
            r = run("stem_quality.py", *args)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stdout.splitlines()[1].split(), ["vocals", "inf", "+18.06", "inf"])


if __name__ == "__main__":
    unittest.main()
