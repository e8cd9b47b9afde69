#!/usr/bin/python3
"""Turns a recorded Zorvik run (a rosbag of ./zv record) into files for a report.

usage: zv_plot.py BAG [BAG ...] [--metrics-cli PATH] [--debug]

Writes next to the bag, named after it (run.bag gives run.png, run_zv_state.csv, ...):
  <name>.png               angles with their references (deg), both throttles as commanded and as
                           sent to the rig, the state rate
  <name>_<topic>.csv       one per recorded topic; t is seconds since the bag's first message,
                           stamp the recording time (Unix seconds); fields in the topic's units
                           (angles in radians, throttles 0..1); /diagnostics one row per key
  <name>_steps.csv         the step figures of every reference step
and prints the step figures. The figures come from zv_step_metrics, the step analysis of the
closed-loop test and the benchmark, so all three agree.

Given several bags (the same profile flown before and after a change), it plots each and then
sets the step figures of every later bag beside the first's, step by step.

A bag that was not closed (the recorder was killed: NAME.bag.active) is reindexed in a
temporary copy, the bag itself is left as it is; what can be read is plotted with a warning.
"""
import argparse
import bisect
import csv
import datetime
import math
import os
import shutil
import subprocess
import sys
import tempfile

from zv_bag import (ARMED, COMMAND, DIAGNOSTICS, MOTORS_CUT, REFERENCE, STATE, THROTTLE_SENT, TOPICS, human_size,
                    reindex_copy)

TYPES = {STATE: "zv_msgs/State", REFERENCE: "zv_msgs/ReferenceState", COMMAND: "zv_msgs/Command",
         DIAGNOSTICS: "diagnostic_msgs/DiagnosticArray", ARMED: "std_msgs/Bool", MOTORS_CUT: "std_msgs/Bool",
         THROTTLE_SENT: "zv_msgs/Command"}

# Reference changes on one axis closer together than this are one step: a
# slider dragged through several values in a few panel periods (50 ms each)
# asks for one move, from where it was to where it was let go.
MERGE_S = 0.5
# The first reference of a record is a step from the angle measured at its
# time when the two differ by more than this: the rig counts as holding a
# reference within 0.5 deg, and a smaller gap (a record started while hovering
# at the reference) would give figures of the hover's own wobble.
FIRST_STEP_MIN_RAD = math.radians(0.5)
# The step analysis: settling band (fraction of the step) and the window at
# the end of each step over which the steady-state error is averaged.
BAND = 0.02
FINAL_WINDOW_S = 1.0
# Steps listed in the PNG's title block; all of them go to the CSV.
TITLE_STEPS = 6


class PlotError(Exception):
    pass


def warn(text):
    print("zv plot: warning: %s" % text, file=sys.stderr)


def out_stem(bag_path):
    """run.bag -> run, run.bag.active -> run.active (beside a recovered run.bag)."""
    name = os.path.basename(bag_path)
    if name.endswith(".bag.active"):
        name = name[: -len(".bag.active")] + ".active"
    elif name.endswith(".bag"):
        name = name[: -len(".bag")]
    return os.path.join(os.path.dirname(os.path.abspath(bag_path)), name)


def open_bag(path, tmpdir):
    """Returns (bag, note). note describes a recovery, or is None for a closed bag."""
    import rosbag

    if os.path.isdir(path):
        raise PlotError("%s is a folder; give one of the .bag files in it" % path)
    if not os.path.isfile(path):
        raise PlotError("%s: no such file" % path)
    size = os.path.getsize(path)
    if size == 0:
        raise PlotError("%s is empty (0 bytes): the recorder stopped before it wrote anything" % path)
    with open(path, "rb") as f:
        if not f.read(len("#ROSBAG V")) == b"#ROSBAG V":
            raise PlotError("%s is not a rosbag (it does not begin as one)" % path)
    try:
        return rosbag.Bag(path), None
    except rosbag.ROSBagUnindexedException:
        pass
    except (rosbag.ROSBagException, OSError, ValueError) as e:
        raise PlotError("%s is not a readable rosbag (%s: %s)" % (path, type(e).__name__, e))
    # Not closed: its chunks are there but the index at the end is not.
    # Rebuild the index in a copy, so the file itself stays as the recorder left it.
    copy = os.path.join(tmpdir, "recovered.bag")
    try:
        lost = reindex_copy(path, copy)
        bag = rosbag.Bag(copy)
    except Exception as e:  # rosbag raises a variety of types on damaged files
        raise PlotError("%s is damaged: it was not closed and cannot be reindexed (%s: %s)"
                        % (path, type(e).__name__, e))
    note = "%s was not closed (the recorder was stopped without closing it)" % path
    if lost:
        note += "; its last %s were in an unfinished chunk and are lost" % human_size(lost)
    return bag, note


def flatten(msg, prefix=""):
    """(column, value) pairs of a message's fields; nested messages as a.b, arrays joined with ';'."""
    out = []
    for name, kind in zip(msg.__slots__, msg._slot_types):
        value = getattr(msg, name)
        if hasattr(value, "__slots__"):
            out.extend(flatten(value, prefix + name + "."))
        elif isinstance(value, (list, tuple)):
            out.append((prefix + name, ";".join(str(v) for v in value)))
        elif kind in ("float32", "float64"):
            out.append((prefix + name, "%.9g" % value))
        elif kind in ("time", "duration"):
            out.append((prefix + name, "%.9f" % value.to_sec()))
        else:
            out.append((prefix + name, value))
    return out


def read_bag(bag, topics):
    """Messages of `topics` as {topic: [(stamp, msg)]} for all of ours, in recording order."""
    data = {topic: [] for topic in TOPICS}
    for topic, msg, stamp in bag.read_messages(topics=topics):
        data[topic].append((stamp.to_sec(), msg))
    return data


def write_csvs(stem, data, t0):
    written = []
    for topic, rows in data.items():
        if not rows:
            continue
        path = "%s_%s.csv" % (stem, topic.strip("/").replace("/", "_"))
        with open(path, "w", newline="") as f:
            out = csv.writer(f)
            if topic == DIAGNOSTICS:
                out.writerow(["t", "stamp", "name", "level", "message", "hardware_id", "key", "value"])
                for stamp, msg in rows:
                    head = ["%.6f" % (stamp - t0), "%.6f" % stamp]
                    for status in msg.status:
                        common = head + [status.name, status.level, status.message, status.hardware_id]
                        for kv in status.values or [None]:
                            out.writerow(common + ([kv.key, kv.value] if kv else ["", ""]))
            else:
                out.writerow(["t", "stamp"] + [c for c, _ in flatten(rows[0][1])])
                for stamp, msg in rows:
                    out.writerow(["%.6f" % (stamp - t0), "%.6f" % stamp] + [v for _, v in flatten(msg)])
        written.append(path)
    return written


def angle_at(states, times, signal, t):
    """The measured angle at bag time t: of the last state at or before t, else of the first one after."""
    i = bisect.bisect_right(times, t)
    return getattr(states[i - 1 if i else 0][1], signal)


def find_steps(references, states, t_last):
    """Reference steps as dicts: signal, t_step, initial, target, t_end (bag-relative seconds).

    A step is a change of the reference between two of its messages. The value
    held before the first reference message is unknown: that message is a step
    from the angle measured at its time when it is more than FIRST_STEP_MIN_RAD
    away (a record started before the first reference was set). A step's window
    ends at the next step on either axis, since a yaw step disturbs pitch and
    the other way round, or at the end of the record.
    """
    steps = []
    times = [t for t, _ in states]
    for signal in ("pitch", "yaw"):
        held, open_step, last_change = None, None, None
        for t, ref in references:
            value = getattr(ref, signal)
            if held is None and states:
                angle = angle_at(states, times, signal, t)
                if abs(value - angle) > FIRST_STEP_MIN_RAD:
                    open_step = {"signal": signal, "t_step": t, "initial": angle, "target": value, "measured": True}
                    steps.append(open_step)
                    last_change = t
            elif held is not None and value != held:
                if open_step is not None and t - last_change < MERGE_S:
                    open_step["target"] = value
                else:
                    open_step = {"signal": signal, "t_step": t, "initial": held, "target": value, "measured": False}
                    steps.append(open_step)
                last_change = t
            held = value
    # A slider moved away and back within the merge time asks for nothing.
    steps = [s for s in steps if s["target"] != s["initial"]]
    steps.sort(key=lambda s: (s["t_step"], s["signal"]))
    for s in steps:
        later = [o["t_step"] for o in steps if o["t_step"] > s["t_step"]]
        s["t_end"] = min(later) if later else t_last + 1.0
    return steps


def find_metrics_cli(given):
    if given:
        return given
    import roslib.packages
    import rospkg

    try:
        found = roslib.packages.find_node("zv_sim", "zv_step_metrics")
    except rospkg.ResourceNotFound:  # the workspace is not sourced
        return None
    return found[0] if found else None


def step_metrics(cli, state_csv, steps, tmpdir):
    """Runs the step analysis on the state CSV; returns the steps with their figures added."""
    steps_in = os.path.join(tmpdir, "steps.csv")
    with open(steps_in, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(["signal", "t_step", "initial", "target", "t_end"])
        for s in steps:
            out.writerow([s["signal"], "%.6f" % s["t_step"], "%.9g" % s["initial"], "%.9g" % s["target"],
                          "%.6f" % s["t_end"]])
    args = [cli, state_csv, steps_in, "--band", str(BAND), "--final-window", str(FINAL_WINDOW_S)]
    try:
        run = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    except OSError as e:
        raise PlotError("cannot run the step analysis %s (%s); build the workspace (./zv build)" % (cli, e))
    if run.stderr.strip():
        print(run.stderr.strip(), file=sys.stderr)
    if run.returncode != 0:
        raise PlotError("the step analysis %s failed (exit %d)" % (cli, run.returncode))
    rows = list(csv.DictReader(run.stdout.splitlines()))
    if len(rows) != len(steps):
        raise PlotError("the step analysis returned %d rows for %d steps" % (len(rows), len(steps)))
    for s, row in zip(steps, rows):
        for key in ("rise_time", "overshoot", "settling_time", "steady_state_error", "peak_error"):
            s[key] = float(row[key])
    return steps


def write_steps_csv(stem, steps):
    path = stem + "_steps.csv"
    with open(path, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(["signal", "t_step_s", "initial_deg", "target_deg", "window_s", "rise_time_s",
                      "overshoot_percent", "settling_time_s", "steady_state_error_deg", "peak_error_deg"])
        for s in steps:
            out.writerow([s["signal"], "%.3f" % s["t_step"], "%.3f" % math.degrees(s["initial"]),
                          "%.3f" % math.degrees(s["target"]), "%.3f" % (s["t_end"] - s["t_step"]),
                          "%.4f" % s["rise_time"], "%.3f" % (100 * s["overshoot"]), "%.4f" % s["settling_time"],
                          "%.4f" % math.degrees(s["steady_state_error"]), "%.4f" % math.degrees(s["peak_error"])])
    return path


def figure_or_na(value, fmt):
    return "n/a" if math.isnan(value) else fmt % value


def span(s):
    """A step's from and to: "+0.0 -> +10.0 deg"."""
    return "%+.1f -> %+.1f deg" % (math.degrees(s["initial"]), math.degrees(s["target"]))


def describe_step(s):
    return "%s %s%s at %.2f s: rise %s, overshoot %s, settling %s, steady-state error %s" % (
        s["signal"], "from the measured " if s["measured"] else "", span(s), s["t_step"],
        figure_or_na(s["rise_time"], "%.3f s"), figure_or_na(100 * s["overshoot"], "%.1f %%"),
        figure_or_na(s["settling_time"], "%.3f s"), figure_or_na(math.degrees(s["steady_state_error"]), "%.3f deg"))


def rate_over_time(stamps, t_end, window=1.0, every=0.1):
    """Messages per second over the trailing `window` seconds, sampled every `every` seconds."""
    import numpy as np

    stamps = np.asarray(stamps)
    at = np.arange(min(window, t_end), t_end + 1e-9, every)
    counts = np.searchsorted(stamps, at, side="right") - np.searchsorted(stamps, at - window, side="right")
    return at, counts / window


def held(rows, field, t_last):
    """Step-wise series of a topic's field that holds its last value to t_last (bag-relative)."""
    t = [r[0] for r in rows] + [t_last]
    v = [getattr(r[1], field) for r in rows]
    return t, v + [v[-1]]


def plot(png, title_lines, warnings, rel, t_last):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    deg = math.degrees
    fig, axes = plt.subplots(4, 1, figsize=(11, 11), sharex=True, gridspec_kw={"height_ratios": [3, 3, 2, 1.5]})
    ax_pitch, ax_yaw, ax_thr, ax_rate = axes
    states, refs, cmds, sent = rel[STATE], rel[REFERENCE], rel[COMMAND], rel[THROTTLE_SENT]
    if states:
        ts = [t for t, _ in states]
        ax_pitch.plot(ts, [deg(m.pitch) for _, m in states], label="pitch", color="C0")
        ax_yaw.plot(ts, [deg(m.yaw) for _, m in states], label="yaw", color="C1")
        ax_yaw.plot(ts, [deg(m.roll) for _, m in states], label="roll", color="C2", alpha=0.7)
        at, rate = rate_over_time(ts, t_last)
        ax_rate.plot(at, rate, color="C4", label="/zv_state, trailing 1 s")
        # From zero, so that the usual jitter of a message or two reads as what it is.
        ax_rate.set_ylim(0, 1.25 * max(rate.max() if len(rate) else 0, 1))
    if refs:
        t, v = held(refs, "pitch", t_last)
        ax_pitch.step(t, [deg(x) for x in v], where="post", ls="--", color="k", label="pitch reference")
        t, v = held(refs, "yaw", t_last)
        ax_yaw.step(t, [deg(x) for x in v], where="post", ls="--", color="k", label="yaw reference")
    if cmds:
        tc = [t for t, _ in cmds]
        ax_thr.plot(tc, [m.left_motor for _, m in cmds], label="left", color="C0", lw=0.8)
        ax_thr.plot(tc, [m.right_motor for _, m in cmds], label="right", color="C3", lw=0.8)
    # Beside the commands: what the driver wrote to the rig (clamped, linearised, zeros while disarmed).
    if sent:
        ts = [t for t, _ in sent]
        ax_thr.plot(ts, [m.left_motor for _, m in sent], label="left sent", color="C9", lw=0.8, ls="--")
        ax_thr.plot(ts, [m.right_motor for _, m in sent], label="right sent", color="C1", lw=0.8, ls="--")
    elif cmds:
        ax_thr.text(0.99, 0.02, "%s not recorded: throttles sent to the rig not shown" % THROTTLE_SENT,
                    transform=ax_thr.transAxes, ha="right", va="bottom", fontsize=8, color="gray")
    for topic, label, color in ((ARMED, "armed (rig)", "green"), (MOTORS_CUT, "motors cut (rig)", "red")):
        if rel[topic]:
            t, v = held(rel[topic], "data", t_last)
            for (a, on), b in zip(zip(t, v), t[1:]):
                if on:
                    ax_thr.axvspan(a, b, color=color, alpha=0.12, lw=0, label=label)
                    label = None
    ax_pitch.set_ylabel("pitch, deg")
    ax_yaw.set_ylabel("yaw and roll, deg")
    ax_thr.set_ylabel("throttle")
    ax_thr.set_ylim(-0.05, 1.05)
    ax_rate.set_ylabel("states / s")
    ax_rate.set_xlabel("time since the start of the recording, s")
    ax_rate.set_xlim(0, max(t_last, 1e-3))
    for ax in axes:
        ax.grid(True, alpha=0.3)
        if ax.get_legend_handles_labels()[0]:
            ax.legend(loc="best", fontsize=8)
        else:
            ax.text(0.5, 0.5, "not recorded", transform=ax.transAxes, ha="center", va="center", color="gray")
    top_inches = 0.35 + 0.2 * (len(title_lines) + len(warnings))
    fig.set_size_inches(11, 10 + top_inches)
    fig.text(0.01, 1 - 0.15 / fig.get_figheight(), "\n".join(title_lines), va="top", ha="left", fontsize=9,
             family="monospace")
    if warnings:
        fig.text(0.01, 1 - (0.15 + 0.2 * len(title_lines)) / fig.get_figheight(),
                 "\n".join("warning: " + w for w in warnings), va="top", ha="left", fontsize=9,
                 family="monospace", color="firebrick")
    fig.tight_layout(rect=(0, 0, 1, 1 - top_inches / fig.get_figheight()))
    fig.savefig(png, dpi=100)
    plt.close(fig)


# Steps of two runs of one profile pair when they come this close to the same
# time since the start of their recordings (./zv experiment starts the profile
# once the recorder runs, a few tens of ms apart from run to run).
PAIR_S = 0.5


def pair_steps(first, other):
    """The steps of two runs of one profile as pairs: a step of the first with the step of the
    other on its axis at about the same time since the start of the recording. Sizes may differ
    (an experiment's pitch trim moves the references of a rig that hangs off them); a step one run
    has alone (a lift-off recorded in one only, an experiment stopped early) pairs with nothing.
    Returns the pairs in the first run's order, and the steps of each run left out."""
    pairs, used = [], set()
    left_first = []
    for a in first:
        near = [(abs(b["t_step"] - a["t_step"]), j) for j, b in enumerate(other)
                if b["signal"] == a["signal"] and j not in used and abs(b["t_step"] - a["t_step"]) <= PAIR_S]
        if near:
            j = min(near)[1]
            used.add(j)
            pairs.append((a, other[j]))
        else:
            left_first.append(a)
    return pairs, left_first, [b for j, b in enumerate(other) if j not in used]


def describe_pair(a, b):
    def both(key, fmt, scale=1.0, relative=False):
        x, y = scale * a[key], scale * b[key]
        text = "%s | %s" % (figure_or_na(x, fmt), figure_or_na(y, fmt))
        if relative and x > 0 and math.isfinite(y):
            text += " (%+.0f %%)" % (100.0 * (y - x) / x)
        return text

    return "%s %s | %s: rise %s, overshoot %s, settling %s, steady-state error %s" % (
        a["signal"], span(a), span(b),
        both("rise_time", "%.3f s", relative=True), both("overshoot", "%.1f %%", 100.0),
        both("settling_time", "%.3f s", relative=True), both("steady_state_error", "%.3f deg", math.degrees(1.0)))


def compare(first, other):
    """Prints the step figures of `other` beside those of `first`, each a (path, steps) pair."""
    (path_a, steps_a), (path_b, steps_b) = first, other
    name_a, name_b = os.path.basename(path_a), os.path.basename(path_b)
    pairs, left_a, left_b = pair_steps(steps_a, steps_b)
    print("step figures, %s | %s (steps at the same time of the run; time changes against %s):"
          % (name_a, name_b, name_a))
    for a, b in pairs:
        print("  " + describe_pair(a, b))
    if not pairs:
        print("  no step at the same time in both (within %g s): compare runs of one profile (./zv experiment)"
              % PAIR_S)
    for name, left in ((name_a, left_a), (name_b, left_b)):
        for s in left:
            print("  only in %s: %s %s at %.2f s" % (name, s["signal"], span(s), s["t_step"]))


def run(args):
    plotted = []
    for path in args.bags:
        tmpdir = tempfile.mkdtemp(prefix="zv_plot.")
        try:
            plotted.append((path, plot_bag(path, args, tmpdir)))
        finally:
            shutil.rmtree(tmpdir, ignore_errors=True)
    for other in plotted[1:]:
        compare(plotted[0], other)
    return 0


def plot_bag(path, args, tmpdir):
    """Plots one bag; returns its steps with their figures."""
    bag, recovery = open_bag(path, tmpdir)
    warnings = [recovery] if recovery else []
    with bag:
        info = bag.get_type_and_topic_info().topics
        counts = {topic: info[topic].message_count for topic in info}
        if sum(counts.values()) == 0:
            raise PlotError("%s holds no messages%s" % (path, " that could be recovered" if recovery else ""))
        for topic in TOPICS:
            if counts.get(topic) and info[topic].msg_type != TYPES[topic]:
                warnings.append("%s is of type %s, not %s: left out" % (topic, info[topic].msg_type, TYPES[topic]))
                counts[topic] = 0
        ours = [t for t in TOPICS if counts.get(t)]
        if not ours:
            raise PlotError("%s holds none of the Zorvik topics (%s); its topics: %s" % (
                path, ", ".join(TOPICS[:3]), ", ".join(sorted(counts)) or "none"))
        data = read_bag(bag, ours)
    t0 = min(rows[0][0] for rows in data.values() if rows)
    t_last = max(rows[-1][0] for rows in data.values() if rows) - t0
    rel = {topic: [(stamp - t0, msg) for stamp, msg in rows] for topic, rows in data.items()}
    for topic in (STATE, REFERENCE, COMMAND, THROTTLE_SENT):
        if not data[topic]:
            warnings.append("no %s in the bag: %s" % (topic, {
                STATE: "no angles and no state rate",
                REFERENCE: "no references, so no steps to measure",
                COMMAND: "no throttles",
                THROTTLE_SENT: "the throttles sent to the rig are not shown"}[topic]))

    stem = out_stem(path)
    written = write_csvs(stem, data, t0)
    steps = find_steps(rel[REFERENCE], rel[STATE], rel[STATE][-1][0]) if data[STATE] else []
    if steps:
        cli = find_metrics_cli(args.metrics_cli)
        if not cli:
            raise PlotError("the step analysis zv_step_metrics was not found; build the workspace (./zv build)")
        steps = step_metrics(cli, "%s_%s.csv" % (stem, STATE.strip("/")), steps, tmpdir)
        written.append(write_steps_csv(stem, steps))
    elif data[STATE] and data[REFERENCE]:
        warnings.append("the reference never changed, and its first value was within %.1f deg of the angle: "
                        "no steps to measure" % math.degrees(FIRST_STEP_MIN_RAD))

    start = datetime.datetime.fromtimestamp(t0).strftime("%Y-%m-%d %H:%M:%S")
    title = ["Zorvik run %s: %s, %.1f s, %d states, %d commands, %d references" % (
        os.path.basename(path), start, t_last, len(data[STATE]), len(data[COMMAND]), len(data[REFERENCE]))]
    shown = [describe_step(s) for s in steps[:TITLE_STEPS]]
    if len(steps) > TITLE_STEPS:
        shown.append("... and %d more steps (all in %s)" % (len(steps) - TITLE_STEPS,
                                                             os.path.basename(stem) + "_steps.csv"))
    png = stem + ".png"
    plot(png, title + shown, warnings, rel, t_last)
    written.insert(0, png)

    for w in warnings:
        warn(w)
    print(title[0])
    if steps:
        print("reference steps (10-90 %% rise, overshoot, %g %% settling, steady-state error over the last %g s):"
              % (100 * BAND, FINAL_WINDOW_S))
        for s in steps:
            print("  " + describe_step(s))
    for p in written:
        print("wrote %s" % p)
    return steps


def main():
    parser = argparse.ArgumentParser(description="Plot a recorded Zorvik run and measure its reference steps.")
    parser.add_argument("bags", nargs="+", metavar="BAG",
                        help="a bag of ./zv record (NAME.bag, or NAME.bag.active if the recorder was killed); "
                             "several: their step figures are set beside the first's")
    parser.add_argument("--metrics-cli", help="path of zv_step_metrics (found on CMAKE_PREFIX_PATH otherwise)")
    parser.add_argument("--debug", action="store_true", help="show the Python traceback of an unexpected failure")
    args = parser.parse_args()
    try:
        return run(args)
    except PlotError as e:
        print("zv plot: error: %s" % e, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except Exception as e:
        if args.debug:
            raise
        print("zv plot: error: unexpected failure on %s: %s: %s (--debug shows where)"
              % (", ".join(args.bags), type(e).__name__, e), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
