#!/usr/bin/python3
"""./zv experiment on the simulated rig (emulator, driver on its pty, controller): leaving the
envelope and Ctrl-C both disarm the rig and keep a readable recording (exit 3); a profile that
cannot run is refused before anything moves (exit 2)."""
import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import rosbag
import roslib.packages
import rospkg
import rospy
import rostest
from std_msgs.msg import Bool
from std_srvs.srv import SetBool

ROOT = os.path.dirname(rospkg.RosPack().get_path("zv_ident"))
SCRIPT = os.path.join(ROOT, "ident", "scripts", "zv_experiment.py")
RECORD = os.path.join(ROOT, "tools", "zv_record.py")
try:
    from zv_msgs.msg import Command, State
except ImportError:
    # catkin's run_tests takes PYTHONPATH from the first configure of a fresh build folder, before
    # the devel space had its Python folder: devel/lib/zv_sim/zv_rig_emulator -> devel.
    devel = os.path.dirname(os.path.dirname(os.path.dirname(roslib.packages.find_node("zv_sim", "zv_rig_emulator")[0])))
    sys.path.insert(0, os.path.join(devel, "lib", "python3", "dist-packages"))
    from zv_msgs.msg import Command, State
# The experiment and its recorder, run from here, need the messages too.
import zv_msgs  # noqa: E402

os.environ["PYTHONPATH"] = os.pathsep.join(
    [os.path.dirname(os.path.dirname(os.path.abspath(zv_msgs.__file__)))] +
    [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])


def wait_for(condition, timeout, what):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("timed out after %.0f s waiting for %s" % (timeout, what))


class Rig(object):
    """What the driver reports of the rig: /zv_armed comes from the rig's heartbeats, so false while
    states arrive means the emulator's firmware is disarmed."""

    def __init__(self):
        self.lock = threading.Lock()
        self.armed, self.armed_seen, self.last_state, self.sent = None, [], 0.0, []
        rospy.Subscriber("/zv_armed", Bool, self.on_armed)
        rospy.Subscriber("/zv_state", State, lambda _: setattr(self, "last_state", time.time()))
        rospy.Subscriber("/zv_throttle_sent", Command, self.on_sent)

    def on_armed(self, msg):
        with self.lock:
            self.armed = msg.data
            self.armed_seen.append(msg.data)

    def on_sent(self, msg):
        with self.lock:
            self.sent.append((msg.left_motor, msg.right_motor))

    def check_disarmed(self, test):
        """Disarmed, states arriving, and only zero throttles written over the next half second."""
        with self.lock:
            del self.sent[:]
        time.sleep(0.5)
        with self.lock:
            sent = list(self.sent)
        test.assertIs(self.armed, False)
        test.assertLess(time.time() - self.last_state, 0.1, "no states: the link is down")
        test.assertTrue(sent)
        test.assertEqual(set(sent), {(0.0, 0.0)})


class EnvelopeStop(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        rospy.init_node("experiment_test", anonymous=True)
        cls.rig = Rig()
        wait_for(lambda: cls.rig.armed, 60, "the simulated rig armed by the driver")

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zv_experiment.")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, segments, name, *options):
        profile = os.path.join(self.dir, name + ".yaml")
        with open(profile, "w") as f:
            f.write("segments:\n" + "".join("  - %s\n" % s for s in segments))
        self.out, self.err = (os.path.join(self.dir, name + suffix) for suffix in (".out", ".err"))
        return subprocess.Popen([sys.executable, SCRIPT, profile, name, "--dir", self.dir, "--record", RECORD]
                                + list(options), stdout=open(self.out, "w"), stderr=open(self.err, "w"))

    def finish(self, experiment):
        rc = experiment.wait(60)
        with open(self.err) as f:
            return rc, f.read()

    def check_stopped_and_recorded(self, name, rc, err, reason):
        self.assertEqual(rc, 3, err)
        self.assertIn(reason, err)
        self.assertRegex(err, r"stopped [0-9.]+ s into the profile \(\d\d:\d\d:\d\d\): ")
        self.rig.check_disarmed(self)
        bag = os.path.join(self.dir, name + ".bag")
        self.assertFalse(os.path.exists(bag + ".active"), err)
        with rosbag.Bag(bag) as b:
            armed = [(t.to_sec(), m.data) for _, m, t in b.read_messages(["/zv_armed"])]
            sent = [(t.to_sec(), m.left_motor + m.right_motor) for _, m, t in b.read_messages(["/zv_throttle_sent"])]
            states = [(t.to_sec(), m.pitch) for _, m, t in b.read_messages(["/zv_state"])]
        # Flown (armed, throttles up), then disarmed, zeros written, and states still recorded after.
        self.assertIn(True, [a for _, a in armed])
        self.assertIs(armed[-1][1], False, armed)
        self.assertGreater(max(s for _, s in sent), 0.5)
        self.assertEqual(sent[-1][1], 0.0)
        self.assertGreater(states[-1][0], armed[-1][0])
        return armed, states

    def test_a_profile_beyond_the_pitch_limit_is_stopped_at_once(self):
        experiment = self.start(["hold: {duration: 2}", "step: {axis: pitch, to: 15, duration: 10}"], "envelope",
                                "--pitch-limit", "6")
        rc, err = self.finish(experiment)
        armed, states = self.check_stopped_and_recorded("envelope", rc, err, "left the envelope (-6.0..6.0 deg)")
        self.assertRegex(err, r"pitch [0-9.]+ deg left")
        # The bag holds the first state beyond 6 deg (0.1047 rad), and the rig reports itself
        # disarmed within 0.5 s of it (heartbeats come every 0.2 s) where the step to 15 deg
        # would have taken it on for about a second.
        crossed = next(t for t, pitch in states if pitch > 0.1047)
        disarmed = next(t for t, a in armed if t > crossed and not a)
        self.assertLess(disarmed - crossed, 0.5)
        self.assertLess(max(pitch for _, pitch in states), math.radians(15))

    def test_b_ctrl_c_stops_it(self):
        # After the test above the controller still holds its 15 deg: the experiment must hold the
        # profile's start (pitch 0) from before it arms, or the rig climbs out of the envelope.
        experiment = self.start(["hold: {duration: 30}"], "interrupted", "--pitch-limit", "6")
        wait_for(lambda: "segment 1/1" in open(self.out).read() or experiment.poll() is not None, 40, "the profile")
        time.sleep(1.0)
        experiment.send_signal(signal.SIGINT)
        started = time.time()
        rc, err = self.finish(experiment)
        self.assertLess(time.time() - started, 15, err)
        self.check_stopped_and_recorded("interrupted", rc, err, "interrupted (Ctrl-C)")

    def test_c_a_profile_that_cannot_run_is_refused_before_anything_moves(self):
        rospy.ServiceProxy("/zv_ros_driver/arm", SetBool)(False)
        wait_for(lambda: self.rig.armed is False, 5, "the rig disarmed")
        del self.rig.armed_seen[:]
        # (segments, what the message names). By hand: a step to 15 deg, then a chirp of 8 deg about
        # it, reaches 23 deg, beyond the 20 a profile may ask.
        cases = [
            (["hold: {duration: 1}", "chirp: {axis: yaw, amplitude: 5, f0: 0.1, f1: 6, duration: 10}"],
             "segment 2 (chirp): f0 0.1 Hz, f1 6 Hz"),
            (["step: {axis: pitch, to: 15, duration: 3}", "chirp: {axis: pitch, amplitude: 8, f0: 0.1, f1: 1, "
              "duration: 10}"], "segment 2 (chirp): asks pitch to go to 7.0..23.0 deg"),
            (["hold: {duration: 1}", "hold: {duration: 1}", "ramp: {axis: yaw, duration: 4}"],
             "segment 3 (ramp): missing to"),
            (["hold: {duration: five}"], "segment 1 (hold): duration is 'five', not a finite number"),
        ]
        for i, (segments, message) in enumerate(cases):
            rc, err = self.finish(self.start(segments, "refused%d" % i))
            self.assertEqual(rc, 2, err)
            self.assertIn(message, err)
            self.assertIn("nothing was moved", err)
            self.assertNotIn("Traceback", err)
        # A name whose bag exists: the recorder would refuse it once the rig is armed.
        taken = os.path.join(self.dir, "taken.bag")
        open(taken, "w").close()
        rc, err = self.finish(self.start(["hold: {duration: 1}"], "taken"))
        os.remove(taken)
        self.assertEqual(rc, 2, err)
        self.assertIn("taken.bag exists already; choose another name or move it away; nothing was moved", err)
        self.assertNotIn(True, self.rig.armed_seen)
        self.rig.check_disarmed(self)
        self.assertEqual([f for f in os.listdir(self.dir) if ".bag" in f], [])


if __name__ == "__main__":
    rostest.rosrun("zv_ident", "experiment", EnvelopeStop, sys.argv)
