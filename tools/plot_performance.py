#!/usr/bin/python3
"""Draws the whole run against its transform floor, from figures files written by pipeline_bench --record.

usage: plot_performance.py out.png LABEL=figures.txt [LABEL=figures.txt ...]

Left: each run's wall time next to the floor's (medians of the interleaved
rounds), with the median ratio. Right: the tool's own processor time per chunk
next to the chunk's 1024 transforms in a hot loop, where the figures have it
(pipeline_bench measures it for its own build only).
"""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

KEYS = ("run_wall", "floor_wall", "wall_ratio", "floor_chunk")


def read_figures(path):
    figures = {}
    with open(path) as f:
        for number, line in enumerate(f, 1):
            parts = line.split()
            if len(parts) != 2:
                raise SystemExit(f"{path}:{number}: expected 'key value', got {line.strip()!r}")
            figures[parts[0]] = float(parts[1])
    missing = [k for k in KEYS if k not in figures]
    if missing:
        raise SystemExit(f"{path}: missing figures: {', '.join(missing)}")
    return figures


def bars(axis, runs, key, floor_key, ratio_key, scale, unit, limit):
    ys = list(range(len(runs)))
    axis.barh([y - 0.2 for y in ys], [scale * f[key] for _, f in runs], height=0.4, color="#4c72b0",
              label="the tool")
    axis.barh([y + 0.2 for y in ys], [scale * f[floor_key] for _, f in runs], height=0.4, color="#bbbbbb",
              label="transform floor")
    for y, (_, f) in zip(ys, runs):
        axis.text(scale * f[key], y - 0.2, f"  {f[ratio_key]:.2f} x", va="center", fontsize=8)
        axis.plot([limit * scale * f[floor_key]] * 2, [y - 0.45, y + 0.45], color="#c44e52", lw=1)
    axis.set_yticks(ys, [label for label, _ in runs])
    axis.invert_yaxis()
    axis.set_xlabel(unit)
    axis.legend(loc="lower right", fontsize=8, frameon=False)


def main(argv):
    if len(argv) < 3 or any("=" not in a for a in argv[2:]):
        raise SystemExit(__doc__.strip().split("\n\n")[1])
    runs = []
    for arg in argv[2:]:
        label, path = arg.rsplit("=", 1)
        runs.append((label, read_figures(path)))
    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 0.7 * len(runs) + 2.2))
    bars(left, runs, "run_wall", "floor_wall", "wall_ratio", 1.0, "whole run, wall s (red: 1.5 x the floor)", 1.5)
    own = [(label, f) for label, f in runs if "own_chunk" in f]
    if own:
        bars(right, own, "own_chunk", "floor_chunk", "own_ratio", 1e3,
             "own processor time per chunk, ms (red: 1.3 x the floor)", 1.3)
    else:
        right.set_axis_off()
    fig.tight_layout()
    fig.savefig(argv[1], dpi=80)


if __name__ == "__main__":
    main(sys.argv)
