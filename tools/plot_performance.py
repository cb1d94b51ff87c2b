#!/usr/bin/python3
"""Draws where the time of a run goes, from figures files written by pipeline_bench --record.

usage: plot_performance.py out.png LABEL=figures.txt [LABEL=figures.txt ...]

Left: each run's wall time split into its stages (percent). Right: the tool's
own time per chunk by stage, next to the chunk's 1024 bare transforms.
"""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

GROUPS = [
    ("model runs", ["model"], "#4c72b0"),
    ("chunk_spectrogram", ["spectrogram"], "#dd8452"),
    ("resynthesize_chunk", ["resynthesis"], "#55a868"),
    ("cross-fade and assembly", ["setup", "window", "copy", "crossfade", "release", "vocals",
                                 "instrumental"], "#c44e52"),
    ("reading and writing", ["read", "write"], "#8172b3"),
    ("open_session", ["open"], "#937860"),
    ("between stages", ["unaccounted"], "#bbbbbb"),
]


def read_figures(path):
    figures = {}
    with open(path) as f:
        for number, line in enumerate(f, 1):
            parts = line.split()
            if len(parts) != 2:
                raise SystemExit(f"{path}:{number}: expected 'key value', got {line.strip()!r}")
            figures[parts[0]] = float(parts[1])
    missing = [k for _, keys, _ in GROUPS for k in keys if k not in figures] + \
              [k for k in ("total", "chunks", "bare") if k not in figures]
    if missing:
        raise SystemExit(f"{path}: missing figures: {', '.join(missing)}")
    return figures


def main(argv):
    if len(argv) < 3 or any("=" not in a for a in argv[2:]):
        raise SystemExit(__doc__.strip().split("\n\n")[1])
    runs = []
    for arg in argv[2:]:
        label, path = arg.rsplit("=", 1)
        runs.append((label, read_figures(path)))

    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 0.9 * len(runs) + 2.6),
                                      gridspec_kw={"width_ratios": [3, 2]})
    labels = [label for label, _ in runs]
    ys = range(len(runs))
    starts = [0.0] * len(runs)
    for name, keys, colour in GROUPS:
        shares = [100.0 * sum(f[k] for k in keys) / f["total"] for _, f in runs]
        left.barh(ys, shares, left=starts, color=colour, label=name)
        for y, (start, share) in enumerate(zip(starts, shares)):
            if share >= 4.0:
                left.text(start + share / 2, y, f"{share:.1f}%", ha="center", va="center", fontsize=8, color="white")
        starts = [s + v for s, v in zip(starts, shares)]
    left.set_yticks(list(ys), labels)
    left.invert_yaxis()
    left.set_xlim(0, 100)
    left.set_xlabel("share of the whole run's wall time (%)")
    left.legend(loc="upper center", bbox_to_anchor=(0.5, -0.18), ncol=3, fontsize=8, frameon=False)

    own_groups = [g for g in GROUPS if g[1] not in (["model"], ["open"], ["unaccounted"])]
    starts = [0.0] * len(runs)
    for name, keys, colour in own_groups:
        ms = [1e3 * sum(f[k + "_cpu"] if k + "_cpu" in f else f[k] for k in keys) / f["chunks"] for _, f in runs]
        right.barh(ys, ms, left=starts, color=colour, height=0.5)
        starts = [s + v for s, v in zip(starts, ms)]
    bare = [1e3 * f.get("bare_cpu", f["bare"]) for _, f in runs]
    right.scatter(bare, list(ys), marker="|", s=600, color="black", zorder=3, label="1024 bare transforms")
    right.scatter([1.5 * b for b in bare], list(ys), marker="|", s=600, color="grey", zorder=3,
                  label="1.5 x bare transforms")
    right.set_yticks(list(ys), [""] * len(runs))
    right.invert_yaxis()
    right.set_xlabel("the tool's own processor time per chunk (ms)")
    right.legend(loc="upper center", bbox_to_anchor=(0.5, -0.18), ncol=2, fontsize=8, frameon=False)

    fig.suptitle("duostem: where the time of a run goes")
    fig.tight_layout()
    fig.savefig(argv[1], dpi=110)


if __name__ == "__main__":
    main(sys.argv)
