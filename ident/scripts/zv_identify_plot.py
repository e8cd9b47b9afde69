#!/usr/bin/python3
"""Draws the validation of ./zv identify: measured against simulated angles.

usage: zv_identify_plot.py SAMPLES_CSV OUT_PNG

SAMPLES_CSV is what zv_identify --samples writes. Only frames the simulation
scored are drawn as simulated; each window restarts from the measured state.
"""
import csv
import math
import sys


def main():
    if len(sys.argv) != 3:
        print("usage: zv_identify_plot.py SAMPLES_CSV OUT_PNG", file=sys.stderr)
        return 2
    rows = {}
    with open(sys.argv[1]) as f:
        for row in csv.DictReader(f):
            rows.setdefault(row["recording"], []).append(row)
    if not rows:
        print("zv identify: nothing to plot in %s" % sys.argv[1], file=sys.stderr)
        return 2
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    axes_names = ["roll", "pitch", "yaw"]
    fig, axes = plt.subplots(3, len(rows), figsize=(11 * len(rows), 8), sharex="col", squeeze=False)
    for col, (rec, data) in enumerate(sorted(rows.items())):
        t = [float(r["t"]) for r in data]
        for i, name in enumerate(axes_names):
            ax = axes[i][col]
            measured = [math.degrees(float(r[name])) for r in data]
            simulated = [math.degrees(float(r[name + "_sim"])) if r["simulated"] == "1" else float("nan")
                         for r in data]
            ax.plot(t, measured, color="0.3", lw=1.0, label="measured")
            ax.plot(t, simulated, color="tab:red", lw=0.9, label="simulated (identified rig)")
            ax.set_ylabel("%s (deg)" % name)
            ax.grid(True, alpha=0.3)
            if i == 0:
                ax.set_title("validation %s: windows restarted from the measured state" % rec)
                ax.legend(loc="upper right", fontsize=8)
        axes[2][col].set_xlabel("time in the validation part (s)")
    fig.tight_layout()
    fig.savefig(sys.argv[2], dpi=90)
    return 0


if __name__ == "__main__":
    sys.exit(main())
