#!/usr/bin/python3
"""Records a Zorvik run into a rosbag, with a one-line live status.

usage: zv_record.py [NAME] [--dir DIR]

Records /zv_state, /zv_reference_state, /zv_command, /diagnostics, /zv_armed,
/zv_motors_cut and /zv_throttle_sent from the ROS master of ROS_MASTER_URI into DIR/NAME.bag (NAME
defaults to the date and time). Topics that are not published yet are recorded
once they appear. Ctrl-C (or SIGTERM, or a closed terminal) stops the recording
and closes the bag; a bag the recorder could not close is reindexed.

The recording itself is Debian's rosbag recorder. It runs in a process group of
its own, so that this script alone receives Ctrl-C and asks the recorder to
close the bag, and it is told to close the bag should this script die first.
While recording, rosbag writes NAME.bag.active in small chunks: if the machine
stops, everything but the last chunk (well under a second) can be recovered.
"""
import argparse
import ctypes
import datetime
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from zv_bag import TOPICS, human_size, reindex_copy

# rosbag's default chunk of 768 kB holds about 30 s of this rig's topics, all
# lost if the recorder dies before closing it; 16 kB is under a second.
CHUNK_KB = 16
# What the recorder may take to write out its queue and the index on Ctrl-C.
CLOSE_TIMEOUT_S = 20.0
PR_SET_PDEATHSIG = 1


class RecordError(Exception):
    pass


def say(text):
    print("zv record: %s" % text, file=sys.stderr)


def how_it_ended(returncode):
    if returncode is not None and returncode < 0:
        return "killed by signal %d" % -returncode
    return "exit %s" % returncode


def bag_path(name, folder):
    if not name:
        name = "zv_" + datetime.datetime.now().strftime("%Y-%m-%d_%H-%M-%S")
    if name.endswith(".bag"):
        name = name[: -len(".bag")]
    if not name or name.startswith("."):
        raise RecordError("'%s' is not a usable recording name; use letters, digits, '-' and '_'" % name)
    path = name if os.sep in name else os.path.join(folder, name)
    return os.path.abspath(path + ".bag")


def master_or_fail():
    import rosgraph

    uri = rosgraph.get_master_uri()
    master = rosgraph.Master("/zv_record")
    old = socket.getdefaulttimeout()
    socket.setdefaulttimeout(3.0)
    try:
        master.getPid()
    except Exception:
        raise RecordError("no ROS master answers at %s: start the rig first (./zv run in another terminal) "
                          "or set ROS_MASTER_URI to the rig's master" % uri)
    finally:
        socket.setdefaulttimeout(old)
    return master


def recorder_command(path, node):
    import roslib.packages

    found = roslib.packages.find_node("rosbag", "record")
    if found:
        cmd = [found[0]]
    elif shutil.which("rosbag"):
        cmd = ["rosbag", "record"]
    else:
        raise RecordError("rosbag's recorder is not installed: apt-get install python3-rosbag")
    return cmd + ["--chunksize=%d" % CHUNK_KB, "-O", path] + TOPICS + ["__name:=" + node]


def detach_from_terminal():
    # In the child before exec: own process group (Ctrl-C reaches only us), and
    # SIGINT, which makes rosbag close the bag, should we die without asking.
    os.setpgrp()
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGINT, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def subscribed_by(master, node):
    _, subscriptions, _ = master.getSystemState()
    return {topic for topic, nodes in subscriptions if "/" + node in nodes}


def recover(active, path):
    """Rebuilds the index of a bag left open, into `path`; returns (messages, bytes lost)."""
    import rosbag

    tmp = path + ".recovering"
    try:
        lost = reindex_copy(active, tmp)
        with rosbag.Bag(tmp) as check:
            messages = check.get_message_count()
    except Exception as e:
        if os.path.exists(tmp):  # not when the copy itself failed
            os.remove(tmp)
        raise RecordError("%s could not be reindexed (%s); it is kept as it is" % (active, e))
    os.rename(tmp, path)
    return messages, lost


def summary(path):
    import rosbag

    with rosbag.Bag(path) as bag:
        info = bag.get_type_and_topic_info().topics
        counts = {t: info[t].message_count if t in info else 0 for t in TOPICS}
        duration = bag.get_end_time() - bag.get_start_time() if bag.get_message_count() else 0.0
    say("saved %s: %.1f s, %d messages, %s" % (path, duration, sum(counts.values()),
                                                  human_size(os.path.getsize(path))))
    say("  " + ", ".join("%s %d" % (t, counts[t]) for t in TOPICS))
    missing = [t for t in TOPICS[:4] if counts[t] == 0]
    if missing:
        say("warning: nothing was recorded on %s" % ", ".join(missing))
    say("plot it with: ./zv plot %s" % os.path.relpath(path))


class Status(object):
    """Counts what arrives on the recorded topics, for the live line."""

    def __init__(self):
        import rospy

        rospy.init_node("zv_record_status", anonymous=True, disable_signals=True)
        self.count = 0
        self.last = time.time()
        self.subscribers = [rospy.Subscriber(t, rospy.AnyMsg, self.on_message) for t in TOPICS]

    def on_message(self, _):
        self.count += 1
        self.last = time.time()


def check_new(path):
    """Refuses a bag PATH that exists, finished or still being written."""
    for existing in (path, path + ".active"):
        if os.path.exists(existing):
            raise RecordError("%s exists already; choose another name or move it away" % existing)


def record(args):
    path = bag_path(args.name, args.dir)
    active = path + ".active"
    check_new(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    master = master_or_fail()
    published = {topic for topic, _ in master.getPublishedTopics("")}
    absent = [t for t in TOPICS if t not in published]

    node = "zv_record_%d" % os.getpid()
    stop = []
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda signum, _: stop.append(signum))
    log = tempfile.TemporaryFile(mode="w+")
    recorder = subprocess.Popen(recorder_command(path, node), stdout=log, stderr=subprocess.STDOUT,
                                preexec_fn=detach_from_terminal)

    def recorder_output():
        log.seek(0)
        return log.read().strip()

    try:
        # The recorder subscribes within a second or two; waiting for it keeps the
        # live line from counting messages the bag did not get.
        deadline = time.time() + 15.0
        while set(TOPICS) - subscribed_by(master, node):
            if recorder.poll() is not None:
                raise RecordError("rosbag's recorder stopped at start (%s):\n%s"
                                  % (how_it_ended(recorder.returncode), recorder_output()))
            if stop or time.time() > deadline:
                break
            time.sleep(0.1)
        status = Status()
        say("recording %s into %s (rosbag recorder pid %d); Ctrl-C stops" % (" ".join(TOPICS), path, recorder.pid))
        if absent:
            say("not published yet: %s (recorded once they appear)" % ", ".join(absent))
        started = time.time()
        tty = sys.stdout.isatty()
        next_line = started
        while not stop and recorder.poll() is None:
            time.sleep(0.2)
            now = time.time()
            if now < next_line:
                continue
            size = os.path.getsize(active) if os.path.exists(active) else 0
            line = "%7.1f s  %7d messages  %9s" % (now - started, status.count, human_size(size))
            if now - status.last > 2.0:
                line += "  (nothing received for %.0f s)" % (now - status.last)
            if tty:
                sys.stdout.write("\r\033[K" + line)
                sys.stdout.flush()
                next_line = now + 0.5
            else:
                print(line, flush=True)
                next_line = now + 5.0
        if tty:
            sys.stdout.write("\n")
    finally:
        if recorder.poll() is None:
            say("closing the bag")
            recorder.send_signal(signal.SIGINT)
            try:
                recorder.wait(CLOSE_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                say("the recorder did not close the bag within %.0f s; stopping it" % CLOSE_TIMEOUT_S)
                recorder.kill()
                recorder.wait()
        try:
            import rospy

            rospy.signal_shutdown("recording stopped")
        except ImportError:
            pass

    ended_by_user = bool(stop)
    if os.path.exists(path) and not os.path.exists(active):
        summary(path)
        if not ended_by_user:
            say("warning: the recorder ended by itself (%s):\n%s" % (how_it_ended(recorder.returncode),
                                                                     recorder_output()))
            return 1
        return 0
    if os.path.exists(active):
        say("the recorder did not close the bag (%s); rebuilding its index" % how_it_ended(recorder.returncode))
        messages, lost = recover(active, path)
        if lost:
            say("warning: recovered %d messages into %s; the last %s were in an unfinished chunk and are lost; "
                "the file as the recorder left it is kept: %s" % (messages, path, human_size(lost), active))
        else:
            os.remove(active)
        summary(path)
        return 1
    raise RecordError("the recorder wrote nothing (%s):\n%s" % (how_it_ended(recorder.returncode), recorder_output()))


def main():
    parser = argparse.ArgumentParser(description="Record a Zorvik run into a rosbag.")
    parser.add_argument("name", nargs="?", help="file name of the bag (default: zv_DATE_TIME)")
    parser.add_argument("--dir", default=os.getcwd(), help="folder of the bag (default: the current one)")
    args = parser.parse_args()
    try:
        return record(args)
    except RecordError as e:
        say("error: %s" % e)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
