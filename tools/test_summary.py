#!/usr/bin/python3
"""Counts the test cases in a catkin test_results folder.

Prints each failure (its first four lines) and each skipped case with its reason, then one line
"N passed, N failed" (", N skipped" added when any was); exits non-zero when a
case failed or no case ran. rostest writes a summary file (rostest-*.xml) beside
the result files of the test nodes it ran (rosunit-*.xml): the summary's cases
are only counted where they add a failure the node files do not show, such as a
test node that crashed before writing results.
"""
import os
import sys
import xml.etree.ElementTree as ET


PASSED, FAILED, SKIPPED = "passed", "failed", "skipped"


def cases(path):
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError as e:
        return [("%s" % os.path.basename(path), FAILED, "unreadable result file: %s" % e)]
    out = []
    for tc in root.iter("testcase"):
        name = "%s.%s" % (tc.get("classname", "?"), tc.get("name", "?"))
        bad = tc.find("failure")
        if bad is None:
            bad = tc.find("error")
        if bad is not None:
            out.append((name, FAILED, (bad.get("message") or bad.text or "failed").strip()[:400]))
        elif tc.find("skipped") is not None:
            out.append((name, SKIPPED, (tc.find("skipped").get("message") or "skipped").strip()[:400]))
            continue
        elif tc.get("status") in ("notrun",):
            continue
        else:
            out.append((name, PASSED, None))
    return out


def main():
    folder = sys.argv[1]
    passed, failed, skipped = 0, [], []
    for dirpath, _, files in sorted(os.walk(folder)):
        files = sorted(f for f in files if f.endswith(".xml"))
        node_results = [f for f in files if not f.startswith("rostest-")]
        node_failures = 0
        for f in node_results:
            for name, outcome, why in cases(os.path.join(dirpath, f)):
                if outcome == PASSED:
                    passed += 1
                elif outcome == SKIPPED:
                    skipped.append((f, name, why))
                else:
                    node_failures += 1
                    failed.append((f, name, why))
        for f in files:
            if f.startswith("rostest-") and node_failures == 0:
                for name, outcome, why in cases(os.path.join(dirpath, f)):
                    if outcome == FAILED:
                        failed.append((f, name, why))
    for f, name, err in failed:
        lines = [l for l in (err or "").splitlines() if l.strip()]
        print("FAILED %s: %s: %s" % (f, name, lines[0] if lines else ""))
        # gtest's first line is only where the check sits; what it found follows it.
        # A Python case's first line is its message, and a traceback follows.
        for line in lines[1:4]:
            if line.strip().startswith(("File \"", "Traceback")):
                break
            print("    %s" % line.strip()[:300])
    for f, name, why in skipped:
        print("SKIPPED %s: %s: %s" % (f, name, why.splitlines()[0]))
    print("%d passed, %d failed" % (passed, len(failed)) + (", %d skipped" % len(skipped) if skipped else ""))
    return 1 if failed or passed == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
