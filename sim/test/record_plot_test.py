#!/usr/bin/python3
"""./zv record and ./zv plot on the simulated rig: a recorded pitch step is plotted
with the figures the closed-loop code measures on the same run; kill of ./zv record
closes the bag; a recorder that dies leaves a bag that is reindexed; a record's
first reference is a step from the measured angle; bags that cannot be plotted
are refused with a message, never a traceback."""
import csv
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import rosbag
import roslib.packages
import rospkg
import rostest
import rospy
from std_msgs.msg import String

TOOLS = os.path.join(os.path.dirname(rospkg.RosPack().get_path("zv_sim")), "tools")
PYTHON = "/usr/bin/python3"


def node_path(name):
    found = roslib.packages.find_node("zv_sim", name)
    if not found:
        raise RuntimeError("zv_sim/%s is not built" % name)
    return found[0]


# devel/lib/zv_sim/zv_step_metrics -> devel
DEVEL = os.path.dirname(os.path.dirname(os.path.dirname(node_path("zv_step_metrics"))))
try:
    from zv_msgs.msg import Command, ReferenceState, State
except ImportError:
    # catkin's run_tests takes PYTHONPATH from the first configure of a fresh build folder, before
    # the devel space had its Python folder.
    sys.path.insert(0, os.path.join(DEVEL, "lib", "python3", "dist-packages"))
    from zv_msgs.msg import Command, ReferenceState, State


def wait_for(condition, timeout, what):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if condition():
            return
        time.sleep(0.1)
    raise AssertionError("timed out after %.0f s waiting for %s" % (timeout, what))


def read(path):
    with open(path) as f:
        return f.read()


class RecordAndPlot(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zv_record_plot.")
        self.recorders = []

    def tearDown(self):
        for p in self.recorders:
            if p.poll() is None:
                p.send_signal(signal.SIGINT)
                p.wait(30)
        shutil.rmtree(self.dir, ignore_errors=True)

    def start_recorder(self, name, command=None, env=None):
        log = os.path.join(self.dir, name + ".log")
        command = command or [PYTHON, os.path.join(TOOLS, "zv_record.py"), name, "--dir", self.dir]
        p = subprocess.Popen(command, stdout=open(log, "w"), stderr=subprocess.STDOUT, env=env)
        self.recorders.append(p)
        wait_for(lambda: "zv record: recording" in read(log) or p.poll() is not None, 30, "the recorder")
        self.assertIsNone(p.poll(), read(log))
        return p, log

    def plot(self, *bags):
        run = subprocess.run([PYTHON, os.path.join(TOOLS, "zv_plot.py")] + list(bags) + ["--metrics-cli",
                              node_path("zv_step_metrics")],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
        return run.returncode, run.stdout, run.stderr

    def test_a_recorded_step_gives_the_closed_loop_figures(self):
        recorder, log = self.start_recorder("step")
        # The benchmark's step program: lift-off to level, then pitch +10 deg held 6 s (no yaw step).
        experiment = subprocess.run([node_path("zv_step_response"), "_pitch_hold:=6.0", "_yaw_hold:=0.0"],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
                                    timeout=90)
        recorder.send_signal(signal.SIGINT)
        self.assertEqual(recorder.wait(30), 0, read(log))
        self.assertEqual(experiment.returncode, 0, experiment.stdout)
        bag = os.path.join(self.dir, "step.bag")
        self.assertFalse(os.path.exists(bag + ".active"))

        rc, out, err = self.plot(bag)
        self.assertEqual(rc, 0, err)
        stem = os.path.join(self.dir, "step")
        for suffix in (".png", "_zv_state.csv", "_zv_reference_state.csv", "_zv_command.csv", "_diagnostics.csv",
                       "_steps.csv"):
            self.assertTrue(os.path.getsize(stem + suffix) > 0, stem + suffix)
        states = list(csv.DictReader(open(stem + "_zv_state.csv")))
        self.assertAlmostEqual(math.degrees(float(states[-1]["pitch"])), 10.0, delta=0.5)

        steps = list(csv.DictReader(open(stem + "_steps.csv")))
        self.assertEqual([(s["signal"], float(s["initial_deg"]), float(s["target_deg"])) for s in steps],
                         [("pitch", 0.0, 10.0)], out)
        step = steps[0]
        # Same moment as the experiment's step: the bag's start is a state's stamp minus its t.
        bag_start = float(states[0]["stamp"]) - float(states[0]["t"])
        t_pitch = float(re.search(r"t_pitch_step (\S+)", experiment.stdout).group(1))
        self.assertAlmostEqual(bag_start + float(step["t_step_s"]), t_pitch, delta=0.1)

        # The pitch block comes first in the experiment's table: "label  measured  design".
        measured = {}
        labels = (("rise time 10-90 %, s", "rise_time_s"), ("overshoot, %", "overshoot_percent"),
                  ("settling 2 %, s", "settling_time_s"), ("steady-state error, deg", "steady_state_error_deg"))
        for label, key in labels:
            measured[key] = float(re.search(re.escape(label) + r"\s+(\S+)", experiment.stdout).group(1))
        # Within 10 %, or a floor for figures near zero: 0.2 points of overshoot, 0.02 deg of error.
        floors = {"rise_time_s": 0, "settling_time_s": 0, "overshoot_percent": 0.2, "steady_state_error_deg": 0.02}
        for key, expected in measured.items():
            self.assertTrue(math.isfinite(expected), experiment.stdout)
            got = float(step[key])
            print("%s: plot %g, closed loop %g" % (key, got, expected))
            self.assertLessEqual(abs(got - expected), max(0.1 * abs(expected), floors[key]),
                                 "%s: plot %g, closed loop %g\n%s" % (key, got, expected, experiment.stdout))
        self.assertIn("rise %.3f s" % float(step["rise_time_s"]), out)

    def test_kill_of_zv_record_closes_the_bag(self):
        # ./zv record on a build folder of its own (no demo there), sharing this workspace's devel space.
        ws = os.path.join(self.dir, "ws")
        os.makedirs(ws)
        os.symlink(DEVEL, os.path.join(ws, "devel"))
        bag = os.path.join(self.dir, "term.bag")
        recorder, log = self.start_recorder("term", [os.path.join(os.path.dirname(TOOLS), "zv"), "record", bag[:-4]],
                                            dict(os.environ, ZV_WS=ws))
        wait_for(lambda: os.path.exists(bag + ".active") and os.path.getsize(bag + ".active") > 20000, 30,
                 "a chunk in the bag")
        recorder.send_signal(signal.SIGTERM)
        self.assertEqual(recorder.wait(30), 0, read(log))
        self.assertFalse(os.path.exists(bag + ".active"), read(log))
        with rosbag.Bag(bag) as closed:
            self.assertGreater(closed.get_message_count("/zv_state"), 10)

    def write_bag(self, name, throttle_sent, ramp_s=1.0):
        """A run started before any reference: the rig on its pitch stop (-0.5 rad), yaw 0.2 deg, for
        1 s; then one reference, pitch 10 deg and yaw 0, and the pitch rising to it over `ramp_s`."""
        path = os.path.join(self.dir, name + ".bag")
        with rosbag.Bag(path, "w") as bag:
            for i in range(600):  # 200 Hz for 3 s
                t = i * 0.005
                pitch = -0.5 + (math.radians(10) + 0.5) * min(max(t - 1.0, 0.0) / ramp_s, 1.0)
                stamp = rospy.Time.from_sec(1000 + t)
                bag.write("/zv_state", State(roll=0.0, pitch=pitch, yaw=math.radians(0.2)), stamp)
                bag.write("/zv_command", Command(left_motor=0.6, right_motor=0.6), stamp)
                if throttle_sent:
                    bag.write("/zv_throttle_sent", Command(left_motor=0.7, right_motor=0.7), stamp)
            bag.write("/zv_reference_state", ReferenceState(yaw=0.0, pitch=math.radians(10)),
                      rospy.Time.from_sec(1001.0))
        return path

    def test_the_first_reference_is_a_step_from_the_measured_angle(self):
        rc, out, err = self.plot(self.write_bag("first", throttle_sent=False))
        self.assertEqual(rc, 0, err)
        steps = list(csv.DictReader(open(os.path.join(self.dir, "first_steps.csv"))))
        # Pitch from the stop, -0.5 rad = -28.648 deg, at 1.0 s; the yaw reference 0 is 0.2 deg from the
        # angle, within the 0.5 deg the rig holds a reference to: no step. By hand, the ramp from
        # -28.648 to 10 deg over [1, 2] s crosses 10 % and 90 % of the step 0.8 s apart.
        self.assertEqual([(s["signal"], s["initial_deg"], s["target_deg"], s["t_step_s"]) for s in steps],
                         [("pitch", "-28.648", "10.000", "1.000")], out)
        self.assertAlmostEqual(float(steps[0]["rise_time_s"]), 0.8, delta=0.006)
        self.assertIn("no /zv_throttle_sent in the bag", err)

        rc, out, err = self.plot(self.write_bag("sent", throttle_sent=True))
        self.assertEqual(rc, 0, err)
        self.assertNotIn("/zv_throttle_sent", err)
        rows = list(csv.DictReader(open(os.path.join(self.dir, "sent_zv_throttle_sent.csv"))))
        self.assertEqual((len(rows), rows[0]["left_motor"]), (600, "0.699999988"))

        # Two runs side by side: the same step risen over 0.5 s, so 0.4 s from 10 to 90 %, 50 % faster.
        rc, out, err = self.plot(self.write_bag("slow", False), self.write_bag("fast", False, ramp_s=0.5))
        self.assertEqual(rc, 0, err)
        pair = re.search(r"step figures, slow.bag \| fast.bag .*\n  pitch -28.6 -> \+10.0 deg \| -28.6 -> \+10.0 deg: "
                         r"rise (\S+) s \| (\S+) s \((\S+) %\)", out)
        self.assertTrue(pair, out)
        self.assertAlmostEqual(float(pair.group(1)), 0.8, delta=0.006)
        self.assertAlmostEqual(float(pair.group(2)), 0.4, delta=0.006)
        self.assertAlmostEqual(float(pair.group(3)), -50, delta=2)
        self.assertNotIn("only in", out)

    def test_two_runs_of_a_profile_pair_their_steps_by_time(self):
        sys.path.insert(0, TOOLS)
        import zv_plot

        def run(*steps):
            return [{"signal": signal, "t_step": t, "initial": 0.0, "target": 0.1} for signal, t in steps]

        # The first run recorded its lift-off at 0 s and stepped pitch at 6 and 11 s, yaw at 12 s;
        # the second started level, stepped pitch at 6.02 and 11.03 s and yaw at 11.4 s, and once
        # more at 16 s.
        before = run(("pitch", 0.0), ("pitch", 6.0), ("pitch", 11.0), ("yaw", 12.0))
        after = run(("pitch", 6.02), ("pitch", 11.03), ("yaw", 11.4), ("pitch", 16.0))
        pairs, only_before, only_after = zv_plot.pair_steps(before, after)
        self.assertEqual([(a["t_step"], b["t_step"]) for a, b in pairs], [(6.0, 6.02), (11.0, 11.03)])
        self.assertEqual([s["t_step"] for s in only_before], [0.0, 12.0])
        self.assertEqual([s["t_step"] for s in only_after], [11.4, 16.0])

    def test_a_killed_recorder_leaves_a_reindexed_bag_and_a_truncated_one_plots_with_a_warning(self):
        recorder, log = self.start_recorder("killed")
        active = os.path.join(self.dir, "killed.bag.active")
        wait_for(lambda: os.path.exists(active) and os.path.getsize(active) > 120000, 30, "some chunks in the bag")
        os.kill(int(re.search(r"recorder pid (\d+)", read(log)).group(1)), signal.SIGKILL)
        self.assertEqual(recorder.wait(30), 1, read(log))
        self.assertIn("rebuilding its index", read(log))
        with rosbag.Bag(os.path.join(self.dir, "killed.bag")) as bag:
            self.assertGreater(bag.get_message_count("/zv_state"), 100)

        # A recorder killed with nobody to reindex: no index position, the last chunk cut short.
        truncated = os.path.join(self.dir, "cut.bag.active")
        data = bytearray(open(os.path.join(self.dir, "killed.bag"), "rb").read())
        at = data.index(b"index_pos=") + len("index_pos=")
        data[at:at + 8] = bytes(8)
        open(truncated, "wb").write(data[: int(len(data) * 0.7)])
        rc, out, err = self.plot(truncated)
        self.assertEqual(rc, 0, err)
        self.assertIn("warning: %s was not closed" % truncated, err)
        self.assertIn("in an unfinished chunk and are lost", err)
        self.assertTrue(os.path.exists(os.path.join(self.dir, "cut.active.png")))
        self.assertGreater(len(open(os.path.join(self.dir, "cut.active_zv_state.csv")).readlines()), 100)

    def test_bags_that_cannot_be_plotted_get_a_clear_error(self):
        empty = os.path.join(self.dir, "empty.bag")
        rosbag.Bag(empty, "w").close()
        other = os.path.join(self.dir, "other.bag")
        with rosbag.Bag(other, "w") as bag:
            bag.write("/chatter", String(data="hello"))
        junk = os.path.join(self.dir, "junk.bag")
        open(junk, "wb").write(bytes(range(256)) * 4)
        zero = os.path.join(self.dir, "zero.bag.active")
        open(zero, "wb").close()
        for bag, message in ((empty, "holds no messages"), (other, "none of the Zorvik topics"),
                             (junk, "is not a rosbag"), (zero, "is empty (0 bytes)"),
                             (os.path.join(self.dir, "absent.bag"), "no such file")):
            rc, out, err = self.plot(bag)
            self.assertEqual(rc, 1, bag)
            self.assertIn("zv plot: error: ", err)
            self.assertIn(message, err)
            self.assertNotIn("Traceback", err)
        self.assertFalse([f for f in os.listdir(self.dir) if f.endswith(".png")])

    def test_step_analysis_cuts_each_step_at_the_next(self):
        # A ramp from 0 up to 1 over [1, 2] s, then down to 0 over [5, 5.5] s, sampled every 10 ms.
        # By hand: 10-90 % rises of 0.8 s and 0.4 s; within 2.5 % of the step from the samples at
        # 1.98 s and 5.49 s on, so settled 0.98 s and 0.49 s after the steps; the first step's
        # window ends before the second, so its steady state is exactly on target.
        samples = os.path.join(self.dir, "samples.csv")
        with open(samples, "w") as f:
            f.write("t,pitch\n")
            for i in range(801):
                t = i / 100.0
                y = min(max(t - 1, 0), 1) if t < 5 else max(1 - 2 * (t - 5), 0)
                f.write("%.2f,%.6f\n" % (t, y))
        steps = os.path.join(self.dir, "steps.csv")
        open(steps, "w").write("signal,t_step,initial,target,t_end\npitch,1,0,1,5\npitch,5,1,0,9\n")
        run = subprocess.run([node_path("zv_step_metrics"), samples, steps, "--band", "0.025"],
                             stdout=subprocess.PIPE, universal_newlines=True)
        rows = list(csv.DictReader(run.stdout.splitlines()))
        self.assertEqual(run.returncode, 0)
        self.assertEqual([round(float(r["rise_time"]), 6) for r in rows], [0.8, 0.4])
        self.assertEqual([round(float(r["overshoot"]), 6) for r in rows], [0, 0])
        self.assertEqual([round(float(r["settling_time"]), 6) for r in rows], [0.98, 0.49])
        self.assertEqual(float(rows[0]["steady_state_error"]), 0.0)

        open(steps, "w").write("signal,t_step,initial,target,t_end\nyaw,1,0,1,5\n")
        run = subprocess.run([node_path("zv_step_metrics"), samples, steps], stderr=subprocess.PIPE,
                             universal_newlines=True)
        self.assertEqual(run.returncode, 2)
        self.assertIn("signal 'yaw' is not a column of %s" % samples, run.stderr)


if __name__ == "__main__":
    rostest.rosrun("zv_sim", "record_plot", RecordAndPlot, sys.argv)
