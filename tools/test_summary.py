#!/usr/bin/python3
"""Counts the test cases in a catkin test_results folder.

Prints each failure, then one line "N passed, N failed"; exits non-zero when a
case failed or no case ran. rostest writes a summary file (rostest-*.xml) beside
the result files of the test nodes it ran (rosunit-*.xml): the summary's cases
are only counted where they add a failure the node files do not show, such as a
test node that crashed before writing results.
"""
import os
import sys
import xml.etree.ElementTree as ET


def cases(path):
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError as e:
        return [("%s" % os.path.basename(path), "unreadable result file: %s" % e)]
    out = []
    for tc in root.iter("testcase"):
        name = "%s.%s" % (tc.get("classname", "?"), tc.get("name", "?"))
        bad = tc.find("failure")
        if bad is None:
            bad = tc.find("error")
        if bad is not None:
            out.append((name, (bad.get("message") or bad.text or "failed").strip()[:400]))
        elif tc.get("status") in ("notrun",) or tc.find("skipped") is not None:
            continue
        else:
            out.append((name, None))
    return out


def main():
    folder = sys.argv[1]
    passed, failed = 0, []
    for dirpath, _, files in sorted(os.walk(folder)):
        files = sorted(f for f in files if f.endswith(".xml"))
        node_results = [f for f in files if not f.startswith("rostest-")]
        node_failures = 0
        for f in node_results:
            for name, err in cases(os.path.join(dirpath, f)):
                if err is None:
                    passed += 1
                else:
                    node_failures += 1
                    failed.append((f, name, err))
        for f in files:
            if f.startswith("rostest-") and node_failures == 0:
                for name, err in cases(os.path.join(dirpath, f)):
                    if err is not None:
                        failed.append((f, name, err))
    for f, name, err in failed:
        print("FAILED %s: %s: %s" % (f, name, err.splitlines()[0] if err else ""))
    print("%d passed, %d failed" % (passed, len(failed)))
    return 1 if failed or passed == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
