#!/usr/bin/python3
"""Plots a step record of zv_step_response (CSV) and prints the latency figures.

usage: plot_step_response.py RECORD.csv OUT.png [LATENCIES.txt]
"""
import csv
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def percentile(sorted_values, q):
    # Nearest-rank percentile.
    k = max(0, min(len(sorted_values) - 1, int(math.ceil(q / 100.0 * len(sorted_values))) - 1))
    return sorted_values[k]


def main():
    record, out = sys.argv[1], sys.argv[2]
    rows = list(csv.DictReader(open(record)))
    if not rows:
        sys.exit("plot: %s holds no samples" % record)
    t0 = float(rows[0]["t"])
    col = {k: [float(r[k]) for r in rows] for k in rows[0]}
    t = [v - t0 for v in col["t"]]
    deg = lambda xs: [math.degrees(v) for v in xs]  # noqa: E731

    fig, axes = plt.subplots(3, 1, figsize=(10, 9), sharex=True)
    axes[0].plot(t, deg(col["pitch"]), label="pitch")
    axes[0].plot(t, deg(col["pitch_ref"]), "--", label="pitch reference")
    axes[0].set_ylabel("pitch, deg")
    axes[1].plot(t, deg(col["yaw"]), label="yaw")
    axes[1].plot(t, deg(col["yaw_ref"]), "--", label="yaw reference")
    axes[1].plot(t, deg(col["roll"]), label="roll", alpha=0.7)
    axes[1].set_ylabel("yaw, roll, deg")
    axes[2].plot(t, col["left"], label="left throttle")
    axes[2].plot(t, col["right"], label="right throttle")
    axes[2].set_ylabel("throttle")
    axes[2].set_ylim(-0.05, 1.05)
    axes[2].set_xlabel("time since the first encoder sample, s")
    for ax in axes:
        ax.grid(True, alpha=0.3)
        ax.legend(loc="best", fontsize=8)
    axes[0].set_title("Zorvik, simulated rig: lift-off, pitch step +10 deg, yaw step +20 deg")
    fig.tight_layout()
    fig.savefig(out, dpi=100)
    print("plot: %s" % out)

    if len(sys.argv) > 3:
        try:
            samples = sorted(float(line) for line in open(sys.argv[3]) if line.strip())
        except OSError as e:
            sys.exit("latency: cannot read %s: %s" % (sys.argv[3], e))
        if not samples:
            sys.exit("latency: no samples in %s" % sys.argv[3])
        print("latency encoder frame -> throttle frame (%d samples): p50 %.2f ms, p99 %.2f ms, max %.2f ms"
              % (len(samples), 1e3 * percentile(samples, 50), 1e3 * percentile(samples, 99), 1e3 * samples[-1]))


if __name__ == "__main__":
    main()
