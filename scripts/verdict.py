#!/usr/bin/env python3
"""The one verdict line of scripts/test.sh.

Reads the JUnit files ctest wrote (--output-junit), one per suite, and the
suites that ran no ctest (NAME=ok or NAME=failed), and prints

  verdict: 5 suites, 812 passed, 0 failed, 2 skipped (asan NoHeap.Case: the
  sanitizers replace malloc), in 14 min 3 s

A suite that runs no ctest (fuzz) counts as one test.

Each skip's reason is the line GoogleTest printed after "Skipped" (what the
test gave GTEST_SKIP()). Exits 1 when a test or a suite failed or did not run.

usage: verdict.py SECONDS SUITE=JUNIT.xml|ok|failed|missing ...
"""
import sys
import xml.etree.ElementTree as ElementTree


def skip_reason(case):
    """What the test said when it skipped itself, or ctest's word for it."""
    out = case.findtext("system-out") or ""
    lines = out.splitlines()
    for i, line in enumerate(lines):
        if line.rstrip().endswith("Skipped") and i + 1 < len(lines) and lines[i + 1].strip():
            return lines[i + 1].strip()
    skipped = case.find("skipped")
    message = skipped.get("message", "") if skipped is not None else ""
    return message or "no reason given"


def main(argv):
    seconds = int(argv[1])
    suites = passed = failed = 0
    skips, broken = [], []
    for entry in argv[2:]:
        name, _, what = entry.partition("=")
        suites += 1
        if what in ("ok", "failed", "missing"):
            passed += what == "ok"
            failed += what != "ok"
            if what != "ok":
                broken.append(name)
            continue
        try:
            root = ElementTree.parse(what).getroot()
        except (OSError, ElementTree.ParseError):
            failed += 1
            broken.append(name + " (no test results)")
            continue
        for case in root.iter("testcase"):
            status = case.get("status", "run")
            if case.find("failure") is not None or case.find("error") is not None or status == "fail":
                failed += 1
                broken.append(name + " " + case.get("name", "?"))
            elif case.find("skipped") is not None or status in ("notrun", "disabled"):
                skips.append(name + " " + case.get("name", "?") + ": " + skip_reason(case))
            else:
                passed += 1
    line = "verdict: %d suites, %d passed, %d failed, %d skipped" % (
        suites, passed, failed, len(skips))
    if skips:
        line += " (" + "; ".join(skips) + ")"
    line += ", in %d min %d s" % (seconds // 60, seconds % 60)
    if broken:
        print("failed: " + "; ".join(broken[:20]) + (" ..." if len(broken) > 20 else ""))
    print(line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
