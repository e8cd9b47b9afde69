#!/usr/bin/python3
"""The identification on one seeded test rig, through the lab's own commands (zv_ident_trial:
./zv run, ./zv experiment with ident_loop_profile.yaml, ./zv identify, ./zv run --params). What
flight near hover determines best must come back within 10 % of the rig's truth: km, the motors'
reaction torque and their balance. The model fitted must predict the validation part (windows of
0.5 s) above 60 % on roll, 85 % on pitch and 90 % on yaw, and the controller designing from
the identified file must fly the pitch step to its reference where the default file leaves the
rig hanging. The full per-parameter figures of several seeds come from ident/bench/seeds. The
trial's files and logs stay in <workspace>/artifacts/ident_loop."""
import os
import shutil
import signal
import subprocess
import unittest

import rospkg
import rospy
import rostest

PKG = rospkg.RosPack().get_path("zv_ident")
TRIAL = os.path.join(PKG, "scripts", "zv_ident_trial")
PROFILE = os.path.join(PKG, "test", "ident_loop_profile.yaml")
TIMEOUT = 390  # s; the trial takes about 4 minutes on a shared 2-core machine


def workspace():
    # devel/lib/zv_ident/zv_test_rig -> the folder holding devel/
    for prefix in os.environ.get("CMAKE_PREFIX_PATH", "").split(":"):
        if os.path.exists(os.path.join(prefix, "lib", "zv_ident", "zv_test_rig")):
            return os.path.dirname(prefix)
    raise RuntimeError("zv_ident's zv_test_rig is not built in any workspace on CMAKE_PREFIX_PATH")


class IdentLoop(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        rospy.init_node("ident_loop_test", anonymous=True)
        seed = str(rospy.get_param("~seed", 1))
        ws = workspace()
        cls.out = os.path.join(ws, "artifacts", "ident_loop")
        shutil.rmtree(cls.out, ignore_errors=True)
        os.makedirs(cls.out)
        # Inside ./zv test nothing may build: a second catkin_make would race the one running.
        env = dict(os.environ, ZV_WS=ws, ZV_NO_BUILD="1")
        with open(os.path.join(cls.out, "trial.log"), "w") as log:
            p = subprocess.Popen([TRIAL, seed, PROFILE, cls.out], stdout=log, stderr=subprocess.STDOUT, env=env)
            try:
                p.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                p.send_signal(signal.SIGTERM)  # the trial stops its demo and writes what it has
                p.wait(60)
        cls.r = {}
        try:
            with open(os.path.join(cls.out, "results.txt")) as f:
                cls.r = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        except OSError as e:
            cls.r = {"status": "no results: %s" % e}

    def figure(self, key):
        self.assertEqual(self.r.get("status"), "ok", "the loop did not run through (see %s)" % self.out)
        return float(self.r[key])

    def test_what_flight_determines_comes_back_within_10_percent(self):
        self.figure("median_error_pct")
        off = []
        for n in ("km", "reaction_torque", "motor_balance"):
            if not abs(float(self.r[n + ".error_pct"])) <= 10:
                off.append("%s truth %s identified %s%s (%s %%)" % (
                    n, self.r[n + ".truth"], self.r[n + ".identified"],
                    " kept at base" if self.r[n + ".kept"] == "1" else "", self.r[n + ".error_pct"]))
        if off:
            self.fail("outside 10 %: " + "; ".join(off))

    def test_validation_fit(self):
        fits = {axis: self.figure("fit_%s_pct" % axis) for axis in ("roll", "pitch", "yaw")}
        self.assertTrue(fits["roll"] > 60 and fits["pitch"] > 85 and fits["yaw"] > 90, "validation fit %s" % fits)

    def test_identified_file_flies_the_pitch_step_that_the_default_file_misses(self):
        # The unidentified rig hangs more than 5 deg below its reference (its thrust curve is
        # not the controller's); on the identified file it settles within 2.5 deg, rising in
        # 0.561 s +-25 %. The pitch integrator is too slow to matter over the step, so the
        # error is the hover thrust's: 1 deg for each 1.7 % the file is off (the pitch gain
        # 19.36 / b_theta = 5.7 N/rad against 5.9 N), plus about 0.5 deg that the truth file
        # itself leaves. Fitted from this short profile, the file's hover thrust came back
        # -0.1 to +1.7 % off on seeds 1, 3 and 4 (errors 0.4 to 1.8 deg).
        self.assertGreater(abs(self.figure("pitch_error_default_deg")), 5.0)
        rise = self.figure("rise_identified_s")
        error = self.figure("pitch_error_identified_deg")
        self.assertTrue(abs(error) < 2.5 and 0.42 <= rise <= 0.70,
                        "flown on the identified file: rise %.3f s, steady-state error %.2f deg" % (rise, error))


if __name__ == "__main__":
    rostest.rosrun("zv_ident", "ident_loop", IdentLoop)
