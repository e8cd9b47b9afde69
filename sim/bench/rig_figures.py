#!/usr/bin/python3
"""Prints the step figures of several benchmark runs side by side, beside the design's.

usage: rig_figures.py NAME=LAUNCH_LOG...

Each log is a bench.launch run's output: zv_step_response's figures and the
emulator's cost line.
"""
import re
import sys

FIGURE = re.compile(
    r"^\s+(rise time 10-90 %, s|overshoot, %|settling 2 %, s|steady-state error, deg)\s+(\S+)\s+(\S+)")
LOOP = re.compile(r"^(pitch|yaw)\s+measured\s+design")
COST = re.compile(r"emulator cost: ([\d.]+) s of CPU over ([\d.]+) s simulated \(([\d.]+) % of real time\)")


def read(path):
    figures, design, cost = {}, {}, None
    loop = None
    with open(path, errors="replace") as f:
        for line in f:
            m = LOOP.match(line)
            if m:
                loop = m.group(1)
                continue
            m = FIGURE.match(line)
            if m and loop:
                figures[(loop, m.group(1))] = m.group(2)
                design[(loop, m.group(1))] = m.group(3)
                continue
            m = COST.search(line)
            if m:
                cost = m.group(3)
    return figures, design, cost


def main():
    runs = [a.split("=", 1) for a in sys.argv[1:]]
    if not runs or any(len(r) != 2 for r in runs):
        sys.exit(__doc__)
    read_runs = [(name, read(path)) for name, path in runs]
    design = {}
    for _, (_, d, _) in read_runs:
        design.update(d)
    names = [name for name, _ in read_runs]
    width = max(14, max(len(n) for n in names) + 2)
    print("%-32s %10s" % ("step figures", "design") + "".join("%*s" % (width, n) for n in names))
    for loop in ("pitch", "yaw"):
        for label in ("rise time 10-90 %, s", "overshoot, %", "settling 2 %, s", "steady-state error, deg"):
            key = (loop, label)
            row = "%-32s %10s" % ("%s %s" % (loop, label), design.get(key, "-"))
            row += "".join("%*s" % (width, figures.get(key, "-")) for _, (figures, _, _) in read_runs)
            print(row)
    print("%-32s %10s" % ("emulator CPU, % of real time", "") +
          "".join("%*s" % (width, cost or "-") for _, (_, _, cost) in read_runs))


if __name__ == "__main__":
    main()
