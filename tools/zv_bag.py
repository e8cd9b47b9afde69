"""The rig's bags as ./zv record writes them and ./zv plot reads them."""
import os
import shutil

STATE = "/zv_state"
REFERENCE = "/zv_reference_state"
COMMAND = "/zv_command"
DIAGNOSTICS = "/diagnostics"
ARMED = "/zv_armed"
MOTORS_CUT = "/zv_motors_cut"
# What the driver wrote to the rig in each THROTTLE frame.
THROTTLE_SENT = "/zv_throttle_sent"
# The first four are the run itself: ./zv record warns when one of them got nothing.
TOPICS = [STATE, REFERENCE, COMMAND, DIAGNOSTICS, ARMED, MOTORS_CUT, THROTTLE_SENT]


def human_size(n):
    for unit in ("B", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return ("%d %s" % (n, unit)) if unit == "B" else ("%.1f %s" % (n, unit))
        n /= 1000.0


def reindex_copy(src, dst):
    """Copies a bag that was not closed to `dst` and rebuilds the copy's index, leaving `src` as it is.

    Returns the bytes of `src` that could not be read back (the chunk the recorder
    was writing when it stopped), 0 when none were lost. Raises what rosbag raises
    on a bag it cannot reindex.
    """
    import rosbag

    shutil.copyfile(src, dst)
    bag = rosbag.Bag(dst, "a", allow_unindexed=True)
    for _ in bag.reindex():
        pass
    # Reindexing stops at the first chunk it cannot read and cuts the copy there.
    readable_end = bag._file.tell()
    bag.close()
    return max(0, os.path.getsize(src) - readable_end)
