#!/usr/bin/python3
"""Writes what ./zv identify needs from a recording into a plain text file.

usage: zv_bag_export.py BAG OUT

OUT holds one line per message, in recording order:
  S t roll pitch yaw       a measured state (/zv_state), rad
  U t left right           a throttle frame as it reached the ESCs (/zv_throttle_sent), 0..1
t is the recording time in seconds since the bag's first message. Exit status 2,
with the reason on stderr, when the bag cannot be read or lacks a topic.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

from zv_bag import STATE  # noqa: E402

THROTTLE_SENT = "/zv_throttle_sent"


def fail(text):
    print("zv identify: %s" % text, file=sys.stderr)
    return 2


def main():
    if len(sys.argv) != 3:
        return fail("usage: zv_bag_export.py BAG OUT")
    bag_path, out_path = sys.argv[1], sys.argv[2]
    try:
        import rosbag

        bag = rosbag.Bag(bag_path)
    except Exception as e:  # rosbag raises several kinds for a damaged or foreign file
        return fail("%s cannot be read as a rosbag (%s)" % (bag_path, e))
    with bag:
        topics = bag.get_type_and_topic_info().topics
        missing = [t for t in (STATE, THROTTLE_SENT) if t not in topics or topics[t].message_count == 0]
        if missing:
            hint = {STATE: "the rig's measured angles: is the driver running?",
                    THROTTLE_SENT: "what reached the ESCs: record with ./zv record (or ./zv experiment), "
                                   "which records it, beside a driver that publishes it"}
            return fail("%s has no messages on %s (%s)" % (bag_path, ", ".join(missing),
                                                          "; ".join(hint[t] for t in missing)))
        start = bag.get_start_time()
        with open(out_path, "w") as out:
            for topic, msg, stamp in bag.read_messages(topics=[STATE, THROTTLE_SENT]):
                t = stamp.to_sec() - start
                if topic == STATE:
                    out.write("S %.6f %.9g %.9g %.9g\n" % (t, msg.roll, msg.pitch, msg.yaw))
                else:
                    out.write("U %.6f %.9g %.9g\n" % (t, msg.left_motor, msg.right_motor))
    return 0


if __name__ == "__main__":
    sys.exit(main())
