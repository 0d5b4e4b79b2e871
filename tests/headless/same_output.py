#!/usr/bin/env python3
"""Runs torvane-run and compares its lines, time and memory figures aside,
and its exit status with an expected record, so that the Linux and the
Windows build are held to the same one.

usage: same_output.py [--encoding NAME] EXPECTED -- COMMAND...

EXPECTED holds "exit N", then "out LINE" and "err LINE" records (standard
output first), each LINE an event without its time and figures. Lines
starting with "#" are comments. --encoding names the encoding the program
writes (default UTF-8; a Windows build writes its ANSI code page)."""
import re
import subprocess
import sys

HEAD = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  "
                  r"rss=(\d+\.\dMiB|\?)  commit=(\d+\.\dMiB|\?)  avail=(\d+\.\dMiB|\?)  ")


def events(data, encoding, stream):
    records = []
    for line in data.decode(encoding, errors="replace").replace("\r\n", "\n").splitlines():
        match = HEAD.match(line)
        records.append(f"{stream} {line[match.end():]}" if match else f"{stream} (no time and figures) {line}")
    return records


def main(argv):
    encoding = "utf-8"
    if argv[:1] == ["--encoding"]:
        encoding, argv = argv[1], argv[2:]
    expected_path, separator, command = argv[0], argv[1], argv[2:]
    if separator != "--" or not command:
        sys.exit(__doc__)
    with open(expected_path, encoding="utf-8") as f:
        expected = [line.rstrip("\n") for line in f if line.strip() and not line.startswith("#")]
    run = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=100)
    actual = [f"exit {run.returncode}"] + events(run.stdout, encoding, "out") + events(run.stderr, encoding, "err")
    if actual == expected:
        return 0
    print("expected:", *expected, sep="\n  ")
    print("actual:", *actual, sep="\n  ")
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
