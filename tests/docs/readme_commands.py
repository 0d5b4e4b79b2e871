#!/usr/bin/env python3
"""Runs every command the README marks as checked, scaled down, and checks
its exit status.

    readme_commands.py --torvane-run PATH [--readme README.md] [--source DIR]
                       [--deadline SECONDS] [--jobs N]

A marked block is a fenced block whose info string is "sh checked". In it,
each line is one torvane-run command; the "# ..." lines above a command name
its task, and "(exit status N)" in them is the status the command must end
with (0 when none is given). Blank lines separate tasks.

Each command runs with the built torvane-run's folder first on PATH, in a
folder of its own that holds a link to the source's examples/ (so files a
command writes, such as --report run.html, land there). Before it runs it is
scaled down, so that the test holds little for a short time on any machine:

  --hold SIZE       above 64 MiB: 64M; N% above 2%: 2%; all-SIZE: 32M (all
                    the room but SIZE is most of the machine)
  --keep-available  the room torvane-run reports less 32 MiB, so that it
                    holds at most about that (a smaller size would hold more)
  --ramp STEP/INT   the step as a size, the interval as a duration
  --stages D:SIZE,… each stage's duration and size as above
  --metrics         a free port of 127.0.0.1, whatever the README's HOST:PORT
  --metrics-file    its file name alone, in the command's own folder
  DURATIONS         --for, --timeout, --grace, --sample, --interval: at most
                    1s; when --for and --timeout are both cut, the longer of
                    the two becomes 2s, so the one that ended the run first
                    still does

A hold with neither --for, a command after "--" nor --timeout has no end of
its own: the test sends it SIGTERM after one second, which the README
documents as its normal end (status 0). Every command has --deadline seconds
(default 30) to end; one that does not is killed and fails. Scripts are run
as they are: their own sleeps are not scaled.
"""

import argparse
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

MIB = 1 << 20
MAX_SIZE = 64 * MIB
MAX_PERCENT = 2.0
ALL_BUT_SIZE = "32M"
MAX_DURATION_MS = 1000
STOP_AFTER_S = 1.0

SIZE_UNITS = {"": 1, "b": 1, "k": 1 << 10, "kb": 1 << 10, "kib": 1 << 10,
              "m": MIB, "mb": MIB, "mib": MIB, "g": 1 << 30, "gb": 1 << 30, "gib": 1 << 30,
              "t": 1 << 40, "tb": 1 << 40, "tib": 1 << 40}
DURATION_UNITS = {"": 1000, "ms": 1, "s": 1000, "m": 60 * 1000, "h": 3600 * 1000}
DURATION_OPTIONS = ("--for", "--timeout", "--grace", "--sample", "--interval")
VALUE_OPTIONS = DURATION_OPTIONS + ("--hold", "--keep-available", "--ramp", "--stages", "--report",
                                    "--workers", "--oom-score-adj", "--metrics", "--metrics-file")
SHELL_OPERATORS = {"|", "||", "&", "&&", ";", ">", ">>", "<", "2>", "2>&1"}
EXPECTED_STATUS = re.compile(r"\(exit status (\d+)\)")


class Command:
    def __init__(self, line_number, task, text, expected):
        self.line_number = line_number
        self.task = task
        self.text = text
        self.expected = expected
        self.argv = []
        self.scaled = []
        self.stop_after = None
        self.problem = None


def marked_commands(readme_text):
    """The commands of every "sh checked" block, with their tasks."""
    commands = []
    lines = readme_text.split("\n")
    fence = None
    checked = False
    comment = []
    pending = None  # a command continued with a backslash
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if fence is None:
            opening = re.match(r"^(`{3,}|~{3,})\s*(.*)$", stripped)
            if opening:
                fence = opening.group(1)
                words = opening.group(2).split()
                checked = len(words) >= 2 and words[0] == "sh" and "checked" in words[1:]
                comment = []
            continue
        if stripped.startswith(fence) and stripped.strip(fence[0]) == "":
            fence = None
            checked = False
            continue
        if not checked:
            continue
        if pending is not None:
            pending.text += " " + stripped.rstrip("\\").strip()
            if not stripped.endswith("\\"):
                pending = None
            continue
        if not stripped:
            comment = []
            continue
        if stripped.startswith("#"):
            comment.append(stripped.lstrip("#").strip())
            continue
        task = " ".join(comment)
        found = EXPECTED_STATUS.search(task)
        command = Command(number, task, stripped.rstrip("\\").strip(), int(found.group(1)) if found else 0)
        commands.append(command)
        if stripped.endswith("\\"):
            pending = command
        comment = []
    return commands


def unmarked_commands(readme_text):
    """torvane-run lines in fenced blocks that are not marked: listed, not run."""
    found = []
    fence = None
    checked = False
    for number, line in enumerate(readme_text.split("\n"), 1):
        stripped = line.strip()
        if fence is None:
            opening = re.match(r"^(`{3,}|~{3,})\s*(.*)$", stripped)
            if opening:
                fence = opening.group(1)
                words = opening.group(2).split()
                checked = len(words) >= 2 and words[0] == "sh" and "checked" in words[1:]
            continue
        if stripped.startswith(fence) and stripped.strip(fence[0]) == "":
            fence = None
            continue
        if not checked and stripped and not stripped.startswith("#"):
            found.append((number, stripped))
    return found


def size_bytes(text):
    match = re.fullmatch(r"(\d+(?:\.\d+)?)([a-z]*)", text.strip().lower())
    if not match or match.group(2) not in SIZE_UNITS:
        return None
    return float(match.group(1)) * SIZE_UNITS[match.group(2)]


def duration_ms(text):
    match = re.fullmatch(r"(\d+(?:\.\d+)?)([a-z]*)", text.strip().lower())
    if not match or match.group(2) not in DURATION_UNITS:
        return None
    return float(match.group(1)) * DURATION_UNITS[match.group(2)]


def scaled_size(text):
    """A --hold SIZE or a ramp's step, made small. Unreadable ones stay as
    they are, for torvane-run to refuse."""
    if text.endswith("%"):
        try:
            percent = float(text[:-1])
        except ValueError:
            return text
        return f"{MAX_PERCENT:g}%" if percent > MAX_PERCENT else text
    if text.lower().startswith("all-"):
        return ALL_BUT_SIZE
    value = size_bytes(text)
    if value is not None and value > MAX_SIZE:
        return f"{MAX_SIZE // MIB}M"
    return text


def scaled_duration(text):
    value = duration_ms(text)
    if value is not None and value > MAX_DURATION_MS:
        return f"{MAX_DURATION_MS // 1000}s"
    return text


def free_local_port():
    """A port of 127.0.0.1 that was free a moment ago."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def scale(argv, room_mib):
    """The command with its sizes and durations scaled down, and whether it
    has an end of its own."""
    out = [argv[0]]
    values = {}  # option -> (index in out of its value, original value)
    i = 1
    while i < len(argv):
        argument = argv[i]
        if argument == "--":
            out.extend(argv[i:])
            break
        name, inline, value = argument, False, None
        if argument.startswith("--") and "=" in argument:
            name, value = argument.split("=", 1)
            inline = True
        elif argument in VALUE_OPTIONS and i + 1 < len(argv):
            value = argv[i + 1]
            i += 1
        if value is None:
            out.append(argument)
            i += 1
            continue
        new = value
        if name == "--hold":
            new = scaled_size(value)
        elif name == "--keep-available":
            keep = room_mib - 32 if room_mib > 64 else room_mib
            original = size_bytes(value)
            if original is not None and original / MIB > keep:
                new = value
            else:
                new = f"{int(keep)}M"
        elif name == "--ramp" and "/" in value:
            step, interval = value.split("/", 1)
            new = f"{scaled_size(step)}/{scaled_duration(interval)}"
        elif name == "--stages":
            # D:SIZE each; a malformed stage is left for torvane-run to refuse.
            new = ",".join(f"{scaled_duration(d)}:{scaled_size(size)}" if sep else stage
                           for stage in value.split(",") for d, sep, size in [stage.partition(":")])
        elif name in DURATION_OPTIONS:
            new = scaled_duration(value)
        elif name == "--metrics":
            new = f"127.0.0.1:{free_local_port()}"
        elif name == "--metrics-file":
            new = os.path.basename(value)
        if inline:
            out.append(f"{name}={new}")
            values[name] = (len(out) - 1, value, True)
        else:
            out.extend([name, new])
            values[name] = (len(out) - 1, value, False)
        i += 1

    # --for and --timeout both cut to the cap would race: keep their order.
    if "--for" in values and "--timeout" in values:
        lengths = {n: duration_ms(values[n][1]) for n in ("--for", "--timeout")}
        if all(v is not None and v > MAX_DURATION_MS for v in lengths.values()) and \
                lengths["--for"] != lengths["--timeout"]:
            longer = max(lengths, key=lengths.get)
            index, _, inline = values[longer]
            out[index] = f"{longer}=2s" if inline else "2s"

    has_command = "--" in out and ("--hold" in values or "--keep-available" in values)
    holds = "--hold" in values or "--keep-available" in values
    endless = holds and "--for" not in values and "--timeout" not in values and not has_command
    return out, endless


def probe_room_mib(torvane_run, env):
    """The memory room as torvane-run sees it (avail= of its first line)."""
    result = subprocess.run([torvane_run, "--lazy", "--hold", "4K", "--for", "0"], env=env,
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    found = re.search(r"avail=([0-9.]+)MiB", result.stdout)
    if result.returncode != 0 or not found:
        raise SystemExit(f"cannot read the memory room from torvane-run:\n{result.stdout}{result.stderr}")
    return float(found.group(1))


def run(command, env, source, deadline_s):
    """Runs one scaled command in a folder of its own; returns (status, seconds, output)."""
    with tempfile.TemporaryDirectory(prefix="readme-command-") as folder:
        os.symlink(os.path.join(source, "examples"), os.path.join(folder, "examples"))
        started = time.monotonic()
        process = subprocess.Popen(command.scaled, cwd=folder, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                   errors="replace", start_new_session=True)
        output = None
        note = ""
        try:
            if command.stop_after is not None:
                try:
                    output, _ = process.communicate(timeout=command.stop_after)
                    note = f"; it ended before the SIGTERM at {command.stop_after:g} s"
                except subprocess.TimeoutExpired:
                    os.kill(process.pid, signal.SIGTERM)
                    note = f"; SIGTERM sent after {command.stop_after:g} s"
            if output is None:
                # communicate() keeps what it read before a timeout and
                # returns all of it when called again.
                remaining = deadline_s - (time.monotonic() - started)
                output, _ = process.communicate(timeout=max(remaining, 0.1))
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            output, _ = process.communicate()
            output = output or ""
            return None, time.monotonic() - started, output, f"; still running after {deadline_s} s: killed"
        seconds = time.monotonic() - started
        status = process.returncode
        # A report the command asks for must be there once it has ended.
        argv = command.scaled[:command.scaled.index("--")] if "--" in command.scaled else command.scaled
        reports = [argv[i + 1] for i, w in enumerate(argv[:-1]) if w == "--report"]
        reports += [w.split("=", 1)[1] for w in argv if w.startswith("--report=")]
        for report in reports:
            path = os.path.join(folder, report)
            if not os.path.isfile(path) or os.path.getsize(path) == 0:
                return status, seconds, output, f"; but it wrote no report {report}: FAIL"
            note += f"; wrote {report} ({os.path.getsize(path)} bytes)"
        return status, seconds, output, note


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--torvane-run", required=True, help="the built torvane-run")
    parser.add_argument("--source", default=os.path.normpath(os.path.join(here, "..", "..")))
    parser.add_argument("--readme", default=None, help="default: SOURCE/README.md")
    parser.add_argument("--deadline", type=float, default=30, help="seconds each command has to end")
    parser.add_argument("--jobs", type=int, default=4, help="commands run side by side")
    args = parser.parse_args()

    source = os.path.abspath(args.source)
    readme = os.path.abspath(args.readme or os.path.join(source, "README.md"))
    torvane_run = os.path.abspath(args.torvane_run)
    if not os.access(torvane_run, os.X_OK):
        raise SystemExit(f"not a program: {torvane_run}")
    with open(readme, encoding="utf-8") as f:
        text = f.read()

    env = dict(os.environ)
    env["PATH"] = os.path.dirname(torvane_run) + os.pathsep + env.get("PATH", "")
    env["LC_ALL"] = "C.UTF-8"
    found = shutil.which("torvane-run", path=env["PATH"])
    if not found or os.path.realpath(found) != os.path.realpath(torvane_run):
        raise SystemExit(f"torvane-run on the PATH is {found}, not {torvane_run}")

    commands = marked_commands(text)
    if not commands:
        print(f"FAIL: {readme} has no command in a ```sh checked block")
        return 1

    room_mib = probe_room_mib(torvane_run, env)
    print(f"{len(commands)} marked commands in {readme}; torvane-run: {torvane_run}; "
          f"memory room {room_mib:.0f} MiB")
    for command in commands:
        try:
            command.argv = shlex.split(command.text, comments=True)
        except ValueError as error:
            command.problem = f"cannot be split into words: {error}"
            continue
        if not command.argv or command.argv[0] != "torvane-run":
            command.problem = "is not a torvane-run command"
            continue
        operators = [w for w in command.argv if w in SHELL_OPERATORS or w.startswith(("$(", "`"))]
        if operators:
            command.problem = f"is not one simple command (it has {' '.join(operators)})"
            continue
        command.scaled, endless = scale(command.argv, room_mib)
        if endless:
            command.stop_after = STOP_AFTER_S

    lock = threading.Lock()
    results = {}

    def one(index):
        command = commands[index]
        if command.problem:
            outcome = (None, 0.0, "", command.problem)
        else:
            outcome = run(command, env, source, args.deadline)
        with lock:
            results[index] = outcome

    with ThreadPoolExecutor(max_workers=max(args.jobs, 1)) as pool:
        list(pool.map(one, range(len(commands))))

    failures = 0
    for index, command in enumerate(commands):
        status, seconds, output, note = results[index]
        good = command.problem is None and status == command.expected and not note.endswith("FAIL")
        failures += not good
        print()
        print(f"[{index + 1}/{len(commands)}] README line {command.line_number}: {command.task or '(no task named)'}")
        print(f"  README: {command.text}")
        if command.scaled:
            print(f"  runs:   {shlex.join(command.scaled)}")
        if command.problem:
            print(f"  FAIL: the command {command.problem}")
            continue
        shown = "no exit status" if status is None else f"exit status {status}"
        print(f"  result: {shown} after {seconds:.2f} s{note}; the README says {command.expected}: "
              f"{'ok' if good else 'FAIL'}")
        lines = output.rstrip("\n").split("\n") if output.strip() else []
        for line in (lines if not good else lines[-1:]):
            print(f"    | {line}")

    unmarked = unmarked_commands(text)
    if unmarked:
        print()
        print("Not run (lines of fenced blocks not marked checked):")
        for number, line in unmarked:
            print(f"  line {number}: {line}")

    print()
    print(f"{len(commands) - failures} of {len(commands)} marked commands ended as the README says")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
