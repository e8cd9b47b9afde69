#!/usr/bin/python3
"""Runs an excitation profile on the running rig, recording it, inside a safety envelope.

usage: zv_experiment.py PROFILE [NAME] --dir DIR --record CMD --plot CMD [--yes] [--check] [--pitch-limit DEG]

PROFILE is a built-in profile (steps, chirp-pitch, chirp-yaw, identify) or a YAML
file of segments (see README.md, "Experiments"). The profile drives
/zv_reference_state: pitch absolute, yaw relative to where the rig points when
the profile starts; angles in degrees, times in seconds, frequencies in Hz.
Arms the rig if it is not armed (asking first unless the driver arms by itself,
i.e. on a real rig), records it with `./zv record NAME`, disarms at the end,
then plots the recording. Leaving the envelope, Ctrl-C, a STOP (/zv_armed false)
or a lost link ends it at once: the driver's ~arm false first, then a message
saying why and when; the recording is closed and kept.
"""
import argparse
import math
import os
import signal
import subprocess
import sys
import threading
import time

PITCH_STOP = 0.5  # rad, the rig's pitch stops are at +-0.5
PITCH_MARGIN = 0.1  # rad kept from a stop
ROLL_LIMIT = 0.4  # rad (the stops are at +-0.6)
STATE_TIMEOUT = 0.25  # s without a state: the link is down
PROFILE_PITCH_LIMIT = 20.0  # deg, what a profile may ask for (the envelope ends at 22.9)
RATE = 50.0  # Hz, the reference's rate (the panel's)
ARM_SERVICE = "/zv_ros_driver/arm"

SEGMENT_KEYS = {
    "hold": {"duration"},
    "step": {"axis", "to", "duration"},
    "ramp": {"axis", "to", "duration"},
    "chirp": {"axis", "amplitude", "f0", "f1", "duration", "fade"},
}
REQUIRED = {"hold": {"duration"}, "step": {"axis", "to", "duration"}, "ramp": {"axis", "to", "duration"},
            "chirp": {"axis", "amplitude", "f0", "f1", "duration"}}


class ProfileError(Exception):
    pass


def seg(kind, **kw):
    d = dict(kw)
    d["type"] = kind
    return d


def steps_profile():
    s = [seg("hold", duration=6.0)]
    for to in (10, -5, 15, 0, -10, 5, 0):
        s.append(seg("step", axis="pitch", to=to, duration=5.0))
    for to in (30, -20, 45, 0):
        s.append(seg("step", axis="yaw", to=to, duration=8.0))
    return s


def chirp_pitch_profile():
    return [seg("hold", duration=6.0), seg("chirp", axis="pitch", amplitude=8.0, f0=0.1, f1=1.5, duration=40.0, fade=3.0),
            seg("hold", duration=3.0)]


def chirp_yaw_profile():
    return [seg("hold", duration=6.0), seg("chirp", axis="yaw", amplitude=30.0, f0=0.05, f1=0.6, duration=50.0, fade=4.0),
            seg("hold", duration=3.0)]


def identify_profile():
    # Pitch steps of several sizes (collective thrust over a wide range, lag),
    # sweeps of each axis (inertias, damping, friction through rest), ramps, and
    # yaw held while pitch sweeps (the propellers' reaction torque). The last
    # fifth, which ./zv identify keeps out of the fit to validate it, alternates
    # yaw and pitch steps: roll steers yaw, and slow ramps there left roll too
    # little motion to score the fit against.
    s = [seg("hold", duration=6.0)]
    for to in (12, -8, 18, -12, 4, 0):
        s.append(seg("step", axis="pitch", to=to, duration=4.0))
    s.append(seg("chirp", axis="pitch", amplitude=10.0, f0=0.1, f1=1.5, duration=45.0, fade=3.0))
    s.append(seg("ramp", axis="pitch", to=12, duration=6.0))
    s.append(seg("ramp", axis="yaw", to=60, duration=10.0))
    s.append(seg("ramp", axis="pitch", to=-8, duration=6.0))
    s.append(seg("ramp", axis="yaw", to=0, duration=10.0))
    s.append(seg("ramp", axis="pitch", to=0, duration=4.0))
    s.append(seg("chirp", axis="yaw", amplitude=35.0, f0=0.05, f1=0.6, duration=50.0, fade=4.0))
    for axis, to, duration in (("yaw", 40, 6.0), ("pitch", 12, 4.0), ("yaw", -30, 6.0), ("pitch", -8, 4.0),
                               ("yaw", 10, 6.0), ("pitch", 0, 4.0), ("yaw", 0, 6.0)):
        s.append(seg("step", axis=axis, to=to, duration=duration))
    return s


BUILT_IN = {"steps": steps_profile, "chirp-pitch": chirp_pitch_profile, "chirp-yaw": chirp_yaw_profile,
            "identify": identify_profile}


def load_profile(name):
    if name in BUILT_IN:
        return BUILT_IN[name]()
    if not os.path.isfile(name):
        raise ProfileError("no profile %s: give one of %s or a YAML file of segments" % (name, ", ".join(BUILT_IN)))
    import yaml

    try:
        with open(name) as f:
            doc = yaml.safe_load(f)
    except yaml.YAMLError as e:
        raise ProfileError("%s is not valid YAML: %s" % (name, e))
    if not isinstance(doc, dict) or not isinstance(doc.get("segments"), list) or not doc["segments"]:
        raise ProfileError("%s: the file needs a non-empty list 'segments:'" % name)
    extra = set(doc) - {"segments"}
    if extra:
        raise ProfileError("%s: unknown key %s at the top (only 'segments:')" % (name, ", ".join(sorted(map(str, extra)))))
    out = []
    for i, item in enumerate(doc["segments"], 1):
        if not isinstance(item, dict) or len(item) != 1:
            raise ProfileError("%s segment %d: give one of %s with its keys, e.g. '- hold: {duration: 5}'"
                               % (name, i, ", ".join(SEGMENT_KEYS)))
        (kind, keys), = item.items()
        if kind not in SEGMENT_KEYS:
            raise ProfileError("%s segment %d: unknown type '%s' (allowed: %s)" % (name, i, kind, ", ".join(SEGMENT_KEYS)))
        if not isinstance(keys, dict):
            raise ProfileError("%s segment %d (%s): its keys go in a mapping, e.g. {duration: 5}" % (name, i, kind))
        unknown = set(keys) - SEGMENT_KEYS[kind]
        missing = REQUIRED[kind] - set(keys)
        if unknown or missing:
            problems = (["unknown key " + ", ".join(sorted(map(str, unknown)))] if unknown else []) + \
                (["missing " + ", ".join(sorted(missing))] if missing else [])
            raise ProfileError("%s segment %d (%s): %s (it takes %s)" % (
                name, i, kind, "; ".join(problems), ", ".join(sorted(SEGMENT_KEYS[kind]))))
        d = {"type": kind}
        for k, v in keys.items():
            if k == "axis":
                d[k] = v
            elif isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
                raise ProfileError("%s segment %d (%s): %s is %r, not a finite number" % (name, i, kind, k, v))
            else:
                d[k] = float(v)
        out.append(d)
    return out


def check_profile(segments, label):
    """Refuses a profile before anything moves; returns its duration."""
    pitch, yaw = 0.0, 0.0
    total = 0.0
    for i, s in enumerate(segments, 1):
        where = "%s segment %d (%s)" % (label, i, s["type"])
        if not s["duration"] > 0:
            raise ProfileError("%s: duration %g s; give a positive duration" % (where, s["duration"]))
        total += s["duration"]
        if s["type"] == "hold":
            continue
        if s.get("axis") not in ("pitch", "yaw"):
            raise ProfileError("%s: axis %r; give pitch or yaw" % (where, s.get("axis")))
        lo = hi = pitch if s["axis"] == "pitch" else yaw
        if s["type"] in ("step", "ramp"):
            lo, hi = min(lo, s["to"]), max(hi, s["to"])
            if s["axis"] == "pitch":
                pitch = s["to"]
            else:
                yaw = s["to"]
        else:
            a = abs(s["amplitude"])
            lo, hi = lo - a, hi + a
            if not (0 < s["f0"] <= s["f1"] <= 5.0):
                raise ProfileError("%s: f0 %g Hz, f1 %g Hz; give 0 < f0 <= f1 <= 5 Hz" % (where, s["f0"], s["f1"]))
            if not 0 <= s.get("fade", 0.0) <= s["duration"] / 2:
                raise ProfileError("%s: fade %g s; give 0 up to half the duration" % (where, s.get("fade", 0.0)))
        if s["axis"] == "pitch" and (lo < -PROFILE_PITCH_LIMIT or hi > PROFILE_PITCH_LIMIT):
            raise ProfileError("%s: asks pitch to go to %.1f..%.1f deg; the envelope allows %g..%g deg"
                               % (where, lo, hi, -PROFILE_PITCH_LIMIT, PROFILE_PITCH_LIMIT))
    return total


class Profile(object):
    """The references over time: pitch absolute, yaw from the start's yaw (rad)."""

    def __init__(self, segments):
        self.segments = []
        t = 0.0
        pitch, yaw = 0.0, 0.0
        for s in segments:
            self.segments.append((t, s, pitch, yaw))
            t += s["duration"]
            if s["type"] in ("step", "ramp"):
                if s["axis"] == "pitch":
                    pitch = s["to"]
                else:
                    yaw = s["to"]
        self.duration = t

    def at(self, t):
        """(segment index, pitch deg, yaw deg) at time t of the profile."""
        for i, (t0, s, pitch, yaw) in enumerate(self.segments):
            if t < t0 + s["duration"] or i == len(self.segments) - 1:
                tau = min(max(t - t0, 0.0), s["duration"])
                value = None
                start = pitch if s.get("axis") == "pitch" else yaw
                if s["type"] == "step":
                    value = s["to"]
                elif s["type"] == "ramp":
                    value = start + (s["to"] - start) * tau / s["duration"]
                elif s["type"] == "chirp":
                    fade = s.get("fade", 0.0)
                    w = 1.0
                    if fade > 0:
                        w = min(1.0, tau / fade, (s["duration"] - tau) / fade)
                    phase = 2 * math.pi * (s["f0"] * tau + (s["f1"] - s["f0"]) * tau * tau / (2 * s["duration"]))
                    value = start + w * s["amplitude"] * math.sin(phase)
                if s["type"] != "hold":
                    if s["axis"] == "pitch":
                        pitch = value
                    else:
                        yaw = value
                return i, pitch, yaw
        return len(self.segments) - 1, 0.0, 0.0

    def describe(self, i):
        s = self.segments[i][1]
        if s["type"] == "hold":
            return "hold"
        if s["type"] == "chirp":
            return "chirp %s %.0f deg %.2f-%.2f Hz" % (s["axis"], s["amplitude"], s["f0"], s["f1"])
        return "%s %s to %.0f deg" % (s["type"], s["axis"], s["to"])


class Trim(object):
    """A rig flown before it is identified may hang well off its pitch
    reference (a thrust curve the controller does not know): the profile would
    then fly other angles than it names, and its low steps would leave the
    envelope. The pitch error over the second half of the profile's first hold
    is taken as the rig's offset, and the pitch references after it are moved
    by it (within the envelope), so that the rig flies about the angles the
    profile names."""

    MIN_HOLD = 4.0  # s, a shorter first hold is not used
    THRESHOLD = math.radians(1.0)  # smaller offsets are left alone

    def __init__(self, start):
        self.start = start
        self.errors = []
        self.offset = None

    @classmethod
    def for_profile(cls, profile):
        t0, first, _, _ = profile.segments[0]
        if first["type"] != "hold" or first["duration"] < cls.MIN_HOLD:
            return None
        return cls(first["duration"] / 2)

    def add(self, error):
        self.errors.append(error)

    def settle(self, report):
        self.offset = 0.0
        if not self.errors:
            return
        errors = sorted(self.errors)
        median = errors[len(errors) // 2]
        if abs(median) >= self.THRESHOLD:
            self.offset = median
            report("the rig hangs %.1f deg %s its pitch reference: the profile's pitch references are moved by "
                   "%+.1f deg from here on (--no-trim keeps them)"
                   % (abs(math.degrees(median)), "below" if median < 0 else "above", -math.degrees(median)))


def say(text):
    print("zv experiment: %s" % text, file=sys.stderr, flush=True)


class Experiment(object):
    def __init__(self):
        import rospy
        from std_msgs.msg import Bool
        from zv_msgs.msg import ReferenceState, State

        self.rospy = rospy
        # Reentrant: the signal handler ends the experiment on the main thread, which may hold it.
        self.lock = threading.RLock()
        self.state = None
        self.state_time = None
        self.armed = None
        self.ended = None  # (reason, wall time) once it must end
        self.lifted = False
        self.stopping = threading.Event()
        self.disarmed_after = None
        self.ref_pub = rospy.Publisher("/zv_reference_state", ReferenceState, queue_size=1)
        self.ReferenceState = ReferenceState
        rospy.Subscriber("/zv_state", State, self.on_state, queue_size=5, tcp_nodelay=True)
        rospy.Subscriber("/zv_armed", Bool, self.on_armed, queue_size=10, tcp_nodelay=True)
        self.running = False
        self.pitch_hi = PITCH_STOP - PITCH_MARGIN
        self.pitch_lo = -PITCH_STOP + PITCH_MARGIN

    def on_state(self, msg):
        now = time.time()
        with self.lock:
            self.state = (msg.roll, msg.pitch, msg.yaw)
            self.state_time = now
            if msg.pitch > self.pitch_lo:
                self.lifted = True
            if not self.running:
                return
            why = None
            if msg.pitch > self.pitch_hi or (self.lifted and msg.pitch < self.pitch_lo):
                why = "pitch %.1f deg left the envelope (%.1f..%.1f deg)" % (
                    math.degrees(msg.pitch), math.degrees(self.pitch_lo), math.degrees(self.pitch_hi))
            elif abs(msg.roll) > ROLL_LIMIT:
                why = "roll %.1f deg beyond the envelope's +-%.1f deg" % (math.degrees(msg.roll), math.degrees(ROLL_LIMIT))
        if why:
            self.end(why, now)

    def on_armed(self, msg):
        with self.lock:
            was = self.armed
            self.armed = msg.data
            running = self.running
        if running and was and not msg.data:
            silent = self.state_time is None or time.time() - self.state_time > STATE_TIMEOUT
            self.end("the link to the rig was lost" if silent else "the rig was disarmed (STOP from RViz or the driver)",
                     time.time())

    def end(self, why, when):
        with self.lock:
            if self.ended:
                return
            self.ended = (why, when)
            self.running = False
        # Disarm first, then talk.
        self.disarm()
        self.disarmed_after = time.time() - when
        self.stopping.set()

    def call_arm(self, value):
        from std_srvs.srv import SetBool

        try:
            self.rospy.wait_for_service(ARM_SERVICE, timeout=2.0)
            return self.rospy.ServiceProxy(ARM_SERVICE, SetBool)(value)
        except Exception as e:  # rospy raises several kinds when the driver is gone
            return e

    def disarm(self):
        for _ in range(3):
            r = self.call_arm(False)
            if not isinstance(r, Exception):
                return True
        say("warning: the driver's %s did not answer; pull the rig's power if it still runs" % ARM_SERVICE)
        return False

    def publish(self, pitch_rad, yaw_rad):
        m = self.ReferenceState()
        m.pitch = pitch_rad
        m.yaw = yaw_rad
        self.ref_pub.publish(m)

    def hold(self, seconds, reference, until):
        """Publishes the reference at RATE until until() holds (True), the experiment ends or
        the time is up (False)."""
        deadline = time.time() + seconds
        while not until():
            if self.ended or time.time() >= deadline:
                return False
            self.publish(*reference)
            time.sleep(1.0 / RATE)
        return True


def recording_name_problem(recorder, name, folder):
    """Why the recorder would refuse NAME in FOLDER (a bad name, a bag that exists), or ""."""
    import importlib.util

    sys.path.insert(0, os.path.dirname(os.path.abspath(recorder)))  # its own modules beside it
    found = importlib.util.spec_from_file_location("zv_record", recorder)
    rec = importlib.util.module_from_spec(found)
    found.loader.exec_module(rec)
    try:
        rec.check_new(rec.bag_path(name, folder))
    except rec.RecordError as e:
        return str(e)
    return ""


def main():
    ap = argparse.ArgumentParser(description="Run an excitation profile on the running rig.")
    ap.add_argument("profile")
    ap.add_argument("name", nargs="?")
    ap.add_argument("--dir", required=True)
    ap.add_argument("--record", required=True, help="the recorder program (zv_record.py)")
    ap.add_argument("--plot", default="", help="command that plots a bag (./zv plot)")
    ap.add_argument("--yes", action="store_true", help="arm a real rig without asking")
    ap.add_argument("--check", action="store_true", help="only check the profile")
    ap.add_argument("--no-trim", action="store_true",
                    help="fly the profile's pitch references as they are, even if the rig hangs off them")
    ap.add_argument("--pitch-limit", type=float, default=math.degrees(PITCH_STOP - PITCH_MARGIN),
                    help="a tighter envelope: pitch within +-DEG (default %.1f)" % math.degrees(PITCH_STOP - PITCH_MARGIN))
    args = ap.parse_args()
    try:
        if not (math.isfinite(args.pitch_limit) and args.pitch_limit != 0):
            raise ProfileError("--pitch-limit %g: give the envelope's half-width in degrees, above 0" % args.pitch_limit)
        segments = load_profile(args.profile)
        duration = check_profile(segments, args.profile)
    except ProfileError as e:
        say("error: %s; nothing was moved" % e)
        return 2
    profile = Profile(segments)
    for i, (t0, s, _, _) in enumerate(profile.segments):
        if s["type"] == "chirp":
            say("segment %d at %.0f s: chirp on %s, %.2f to %.2f Hz, amplitude %.1f deg, fade %.1f s"
                % (i + 1, t0, s["axis"], s["f0"], s["f1"], s["amplitude"], s.get("fade", 0.0)))
    say("profile %s: %d segments, %.0f s" % (args.profile, len(segments), duration))
    if args.check:
        return 0

    # The recording's name, checked before anything moves: the recorder refuses a bag that exists.
    name = args.name or ("experiment_%s_%s" % (args.profile.replace("/", "_").replace(".yaml", ""),
                                               time.strftime("%Y-%m-%d_%H-%M-%S")))
    problem = recording_name_problem(args.record, name, args.dir)
    if problem:
        say("error: %s; nothing was moved" % problem)
        return 2

    import rospy
    import rosgraph

    if not rosgraph.is_master_online():
        say("error: no ROS master: start the rig first (./zv run in another terminal)")
        return 1
    rospy.init_node("zv_experiment", anonymous=True, disable_signals=True)
    ex = Experiment()
    limit = min(abs(args.pitch_limit), math.degrees(PITCH_STOP - PITCH_MARGIN))
    ex.pitch_hi, ex.pitch_lo = math.radians(limit), -math.radians(limit)

    def on_signal(signum, _):
        ex.end("interrupted (Ctrl-C)" if signum == signal.SIGINT else "stopped by signal %d" % signum, time.time())

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)

    def stopped_early():
        # An arm request may have crossed the stop (Ctrl-C while it was under way): disarm again.
        ex.disarm()
        why, when = ex.ended
        say("stopped before the profile started (%s): %s; the rig is disarmed, nothing was recorded"
            % (time.strftime("%H:%M:%S", time.localtime(when)), why))
        return 3

    deadline = time.time() + 5.0
    while ex.state is None and time.time() < deadline and not ex.ended:
        time.sleep(0.05)
    if ex.ended:
        return stopped_early()
    if ex.state is None:
        say("error: no state on /zv_state within 5 s: is the driver running and the rig connected?")
        return 1
    # The profile starts from pitch 0 and the yaw of now. Held from before arming: the controller
    # still has the last reference it got (the panel's, or where the last experiment stopped).
    hold = (0.0, ex.state[2])
    ex.hold(1.0, hold, lambda: ex.ref_pub.get_num_connections() > 0)
    auto_arm = rospy.get_param("/zv_ros_driver/auto_arm", False)
    if not ex.armed:
        if not auto_arm and not args.yes:
            sys.stderr.write("zv experiment: the rig is a real one and not armed; arm it and run %s (%.0f s)? [y/N] "
                             % (args.profile, duration))
            sys.stderr.flush()
            answer = sys.stdin.readline().strip().lower()
            if ex.ended:
                return stopped_early()
            if answer not in ("y", "yes"):
                say("not armed; nothing was moved")
                return 1
        r = ex.call_arm(True)
        if ex.ended:
            return stopped_early()
        if isinstance(r, Exception) or not r.success:
            say("error: arming failed: %s" % (r if isinstance(r, Exception) else r.message))
            return 1
        ex.hold(10.0, hold, lambda: ex.armed)
        if ex.ended:
            return stopped_early()
        if not ex.armed:
            ex.disarm()
            say("error: the rig did not report armed within 10 s (/zv_armed); disarmed again")
            return 1
    # The envelope holds from here on, while the recorder starts too.
    with ex.lock:
        if ex.ended:
            return stopped_early()
        ex.running = True

    # The recording, beside this node; its own live line would clash with ours.
    os.makedirs(args.dir, exist_ok=True)
    rec_log = open(os.path.join(args.dir, ".%s.record.log" % os.path.basename(name)), "w+")
    recorder = subprocess.Popen([sys.executable, args.record, name, "--dir", args.dir], stdout=subprocess.DEVNULL,
                                stderr=rec_log, preexec_fn=os.setpgrp)

    def recorder_said(text):
        rec_log.seek(0)
        return text in rec_log.read()

    # Its error messages may hold the word too ("not a usable recording name").
    ex.hold(15.0, hold, lambda: recorder.poll() is not None or recorder_said("zv record: recording "))
    if recorder.poll() is not None:
        with ex.lock:
            ex.running = False
        ex.disarm()
        rec_log.seek(0)
        say("error: the recorder stopped at start:\n%s" % rec_log.read())
        return 1

    yaw0 = hold[1]
    trim = None if args.no_trim else Trim.for_profile(profile)
    started = None if ex.ended else time.time()
    tty = sys.stdout.isatty()
    next_line = 0.0
    while started is not None and not ex.stopping.is_set():
        t = time.time() - started
        if t >= profile.duration:
            break
        i, pitch_deg, yaw_deg = profile.at(t)
        if trim is not None and i == 0 and t >= trim.start:
            trim.add(ex.state[1] - math.radians(pitch_deg))
        elif trim is not None and i > 0 and trim.offset is None:
            trim.settle(say)
        # The trim never moves a reference out of the envelope; what the profile itself asks is
        # flown as asked, so that a profile beyond a tighter --pitch-limit is stopped, not hidden.
        asked = math.radians(pitch_deg)
        pitch_r = asked - (trim.offset if trim is not None and trim.offset else 0.0)
        pitch_r = min(max(pitch_r, min(asked, ex.pitch_lo)), max(asked, ex.pitch_hi))
        yaw_r = yaw0 + math.radians(yaw_deg)
        ex.publish(pitch_r, yaw_r)
        with ex.lock:
            silent = time.time() - ex.state_time > STATE_TIMEOUT
            roll, pitch, yaw = ex.state
        if silent:
            ex.end("no state for %.2f s: the link is down" % STATE_TIMEOUT, time.time())
            break
        if recorder.poll() is not None:
            ex.end("the recorder stopped (exit %s): nothing more would be recorded" % recorder.returncode, time.time())
            break
        if t >= next_line:
            line = ("segment %d/%d %-32s %5.0f s left | pitch %6.1f (ref %6.1f) yaw %7.1f (ref %7.1f) roll %5.1f deg"
                    % (i + 1, len(profile.segments), profile.describe(i), profile.duration - t, math.degrees(pitch),
                       pitch_deg, math.degrees(yaw - yaw0), yaw_deg, math.degrees(roll)))
            if tty:
                sys.stdout.write("\r\033[K" + line)
                sys.stdout.flush()
                next_line = t + 0.2
            else:
                print(line, flush=True)
                next_line = t + 5.0
        time.sleep(1.0 / RATE)
    if tty and started is not None:
        sys.stdout.write("\n")
    if ex.ended:
        ex.stopping.wait(10.0)  # an end on another thread may still be disarming
    rc = 0
    if ex.ended:
        why, when = ex.ended
        into = "%.1f s into the profile" % (when - started) if started is not None and when >= started \
            else "before the profile started"
        say("stopped %s (%s): %s; disarm requested %.0f ms after it"
            % (into, time.strftime("%H:%M:%S", time.localtime(when)), why, 1000 * (ex.disarmed_after or 0)))
        rc = 3
    else:
        with ex.lock:
            ex.running = False
        ex.disarm()
        say("profile done (%.0f s); the rig is disarmed" % profile.duration)
    time.sleep(0.5)  # the disarm's /zv_armed false and zero throttles go into the bag too
    if recorder.poll() is None:
        recorder.send_signal(signal.SIGINT)
    try:
        recorder.wait(30)
    except subprocess.TimeoutExpired:
        recorder.kill()
    rec_log.seek(0)
    sys.stderr.write(rec_log.read())
    rec_log.close()
    os.remove(rec_log.name)
    bag = os.path.join(args.dir, name if name.endswith(".bag") else name + ".bag")
    if args.plot and os.path.exists(bag):
        subprocess.call(args.plot.split() + [bag])
    rospy.signal_shutdown("experiment over")
    return rc


if __name__ == "__main__":
    sys.exit(main())
