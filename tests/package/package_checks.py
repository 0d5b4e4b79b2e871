#!/usr/bin/env python3
"""The packages, the static binary and the container image, checked as a user
meets them. One check per run; ctest names each (tests/package/CMakeLists.txt).

    package_checks.py CHECK --packages DIR --source DIR [--podman OPTS] [--tool PATH]
"""
import argparse
import contextlib
import json
import copy
import os
import re
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tarfile
import tempfile
import time
import urllib.request
import zipfile

import yaml

MIB = 1024 * 1024


class CheckFailed(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise CheckFailed(message)


def run(argv, deadline_s, **kwargs):
    """Runs a command to its end or its deadline; past the deadline its whole
    process group is ended by its id."""
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               start_new_session=True, **kwargs)
    try:
        output, _ = process.communicate(timeout=deadline_s)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        raise CheckFailed(f"{shlex.join(argv)} still running after {deadline_s} s:\n{output}")
    return process.returncode, output


def wait_until(condition, deadline_s, what):
    end = time.monotonic() + deadline_s
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise CheckFailed(f"{what}: not within {deadline_s} s")


# ---- The packages -----------------------------------------------------------

def one_package(folder, suffix):
    found = [f for f in os.listdir(folder) if f.startswith("torvane-") and f.endswith(suffix)]
    expect(len(found) == 1, f"one torvane-*{suffix} expected in {folder}, found {found}")
    return os.path.join(folder, found[0])


def exe_version(data):
    """The version in a PE file's fixed version record (VS_FIXEDFILEINFO),
    named as the packages name it: 3.0.0.0 is 3.0.0."""
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    expect(at >= 0, "torvane.exe has no version record")
    ms, ls = struct.unpack_from("<II", data, at + 8)
    parts = [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF]
    return ".".join(map(str, parts[:3] if parts[3] == 0 else parts))


def source_files(source, folder):
    return sorted(os.path.relpath(os.path.join(d, f), source)
                  for d, _, files in os.walk(os.path.join(source, folder)) for f in files)


# What each package holds beyond its programs, and where: (in the package, in the source).
def shipped_documents(source, docs, top, license_name, examples):
    pairs = [(f"{docs}/script-format.md", "docs/script-format.md"),
             (f"{docs}/torvane-run.md", "docs/torvane-run.md"),
             (f"{top}README.txt", "docs/package-readme.txt"),
             (f"{top}{license_name}", "LICENSE")]
    pairs += [(examples + "/" + os.path.relpath(f, "examples"), f) for f in source_files(source, "examples")]
    return pairs


def check_contents(args):
    zip_path = one_package(args.packages, "-win64.zip")
    tar_path = one_package(args.packages, "-linux-x86_64.tar.gz")
    with zipfile.ZipFile(zip_path) as z:
        zip_files = {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}
    with tarfile.open(tar_path) as t:
        tar_files = {m.name: t.extractfile(m).read() for m in t.getmembers() if m.isfile()}
        expect(all(m.isfile() or m.isdir() for m in t.getmembers()), "the tarball holds links or devices")

    exe_name = next((n for n in zip_files if n.endswith("/torvane.exe")), None)
    expect(exe_name is not None, f"no torvane.exe in {zip_path}")
    version = exe_version(zip_files[exe_name])
    layouts = [
        (zip_path, zip_files, f"torvane-{version}-win64", ["torvane.exe", "torvane-run.exe"],
         shipped_documents(args.source, "docs", "", "LICENSE.txt", "examples")),
        (tar_path, tar_files, f"torvane-{version}-linux-x86_64", ["bin/torvane-run"],
         shipped_documents(args.source, "share/doc/torvane", "share/doc/torvane/", "LICENSE",
                           "share/torvane/examples")),
    ]
    for path, files, top, programs, documents in layouts:
        suffix = ".zip" if path.endswith(".zip") else ".tar.gz"
        expect(os.path.basename(path) == top + suffix,
               f"{os.path.basename(path)} should be {top}{suffix}: torvane.exe's version record says {version}")
        expected = sorted([f"{top}/{p}" for p in programs] + [f"{top}/{d}" for d, _ in documents])
        expect(sorted(files) == expected,
               f"{path} holds\n  {sorted(files)}\nexpected exactly\n  {expected}")
        for shipped, original in documents:
            with open(os.path.join(args.source, original), "rb") as f:
                expect(files[f"{top}/{shipped}"] == f.read(), f"{path}: {shipped} differs from {original}")
    print(f"ok: {os.path.basename(zip_path)} and {os.path.basename(tar_path)} hold exactly the listed files")


# The DLLs the window's start loads: each import is loaded before the window
# shows (under Wine winmm cost 7.3 to 8.7 ms, comdlg32 about 60), so the
# common dialogs and the timer's resolution are loaded when first needed.
WINDOW_IMPORTS = {"advapi32.dll", "gdi32.dll", "imagehlp.dll", "kernel32.dll", "msvcrt.dll", "user32.dll"}


def check_window_imports(args):
    with zipfile.ZipFile(one_package(args.packages, "-win64.zip")) as z:
        name = next(n for n in z.namelist() if n.endswith("/torvane.exe"))
        data = z.read(name)
    with tempfile.TemporaryDirectory(prefix="torvane-pkg-") as folder:
        exe = os.path.join(folder, "torvane.exe")
        with open(exe, "wb") as f:
            f.write(data)
        _, headers = run(["x86_64-w64-mingw32-objdump", "-p", exe], 30)
    imports = {line.split(":", 1)[1].strip().lower() for line in headers.splitlines() if "DLL Name:" in line}
    expect(imports == WINDOW_IMPORTS, f"torvane.exe imports {sorted(imports)}; expected exactly "
                                      f"{sorted(WINDOW_IMPORTS)} (others are loaded when first needed)")
    print(f"ok: torvane.exe imports {', '.join(sorted(imports))}")


# ---- The static binary --------------------------------------------------------

@contextlib.contextmanager
def shipped_binary(args):
    """torvane-run as the tarball ships it, in a temporary folder."""
    with tempfile.TemporaryDirectory(prefix="torvane-pkg-") as folder:
        with tarfile.open(one_package(args.packages, "-linux-x86_64.tar.gz")) as t:
            member = next(m for m in t.getmembers() if m.name.endswith("/bin/torvane-run"))
            path = os.path.join(folder, "torvane-run")
            with open(path, "wb") as f:
                f.write(t.extractfile(member).read())
            os.chmod(path, 0o755)
        yield folder, path


def check_static(args):
    with shipped_binary(args) as (_, binary):
        _, kind = run(["file", "-b", binary], 30)
        expect("statically linked" in kind and "dynamic" not in kind, f"file says: {kind.strip()}")
        _, headers = run(["readelf", "-lW", binary], 30)
        for segment in ("INTERP", "DYNAMIC"):
            expect(not any(line.split()[:1] == [segment] for line in headers.splitlines()),
                   f"torvane-run has a {segment} program header:\n{headers}")
        _, dynamic = run(["readelf", "-d", binary], 30)
        expect("There is no dynamic section" in dynamic, f"readelf -d says:\n{dynamic}")
    print(f"ok: {kind.strip()}; no interpreter, no dynamic section")


def check_empty_root(args):
    """The shipped binary alone in a root with nothing else but /proc and a
    read-only /sys/fs/cgroup, as in a container from scratch. The mounts live
    in a mount namespace of the run's own and go with it."""
    with shipped_binary(args) as (folder, _):
        root = os.path.join(folder, "root")
        for d in ("proc", "sys/fs/cgroup"):
            os.makedirs(os.path.join(root, d))
        os.rename(os.path.join(folder, "torvane-run"), os.path.join(root, "torvane-run"))
        with open(os.path.join(args.source, "examples/hold-64mb.evk"), "rb") as src, \
                open(os.path.join(root, "hold-64mb.evk"), "wb") as dst:
            dst.write(src.read())
        inside = ('mount -t proc proc "$1/proc" && '
                  'mount --rbind -o ro=recursive /sys/fs/cgroup "$1/sys/fs/cgroup" && '
                  'exec chroot "$1" /torvane-run --yes /hold-64mb.evk')
        status, output = run(["unshare", "--mount", "--fork", "--kill-child", "--", "sh", "-c", inside, "sh", root], 60)
        print(output)
        expect(status == 0, f"torvane-run in an empty root exited with {status}")
        expect("Completed" in output, "the run did not reach its end")
        with open("/proc/self/mounts") as mounts:
            expect(root not in mounts.read(), "a mount of the empty root outlived the run")
    print("ok: the example ran to its end in an empty root")


def check_help_in_docs(args):
    """docs/torvane-run.md shows the options as --help prints them."""
    with shipped_binary(args) as (_, binary):
        status, printed = run([binary, "--help"], 30)
    expect(status == 0, f"torvane-run --help exited with {status}")
    with open(os.path.join(args.source, "docs/torvane-run.md")) as f:
        doc = f.read()
    marker = "As `torvane-run --help` prints them:\n\n```text\n"
    expect(marker in doc, "docs/torvane-run.md has no block of the --help text")
    shown = doc.split(marker, 1)[1].split("\n```", 1)[0]
    expect(shown.rstrip("\n") == printed.rstrip("\n"),
           f"docs/torvane-run.md shows another --help text than torvane-run prints:\n{printed}")
    print("ok: docs/torvane-run.md shows --help as torvane-run prints it")


# ---- The populate fallback ----------------------------------------------------

def vm_rss(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except FileNotFoundError:
        pass
    return 0


def check_populate_fallback(args):
    """Physical mode on a kernel without MADV_POPULATE_WRITE: the block must
    still become resident (every page written), not be left untouched."""
    with shipped_binary(args) as (folder, binary):
        script = os.path.join(folder, "hold.evk")
        with open(script, "w") as f:
            f.write("EVKScript\nmallocate 64\nsleep 5\nrelease now\nend here\n")
        process = subprocess.Popen([args.tool, binary, "--yes", "--physical", script],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                   start_new_session=True)
        try:
            peak = [0]

            def resident():
                peak[0] = max(peak[0], vm_rss(process.pid))
                return peak[0] >= 64 * MIB or process.poll() is not None
            wait_until(resident, 20, "VmRSS reaching 64 MiB")
            output, _ = process.communicate(timeout=30)
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        print(output)
        expect(process.returncode == 0, f"the run exited with {process.returncode}")
        expect(peak[0] >= 64 * MIB, f"VmRSS peaked at {peak[0] / MIB:.1f} MiB, not 64 MiB: the block was not made resident")
    print(f"ok: with MADV_POPULATE_WRITE refused, VmRSS reached {peak[0] / MIB:.1f} MiB and the run ended with 0")


# ---- The container image ------------------------------------------------------

def podman(args, *argv, deadline_s=60):
    return run(["podman", *shlex.split(args.podman), *argv], deadline_s)


def image_name(args):
    tar_name = os.path.basename(one_package(args.packages, "-linux-x86_64.tar.gz"))
    return "localhost/torvane-run:" + tar_name[len("torvane-"):-len("-linux-x86_64.tar.gz")]


def check_image_present(args):
    status, output = podman(args, "image", "inspect", image_name(args))
    expect(status == 0, f"{image_name(args)} is not in the test's store (tools/package.sh builds it):\n{output}")
    config = json.loads(output)[0]
    expect(config["Config"]["Entrypoint"][0] == "/torvane-run", f"entry point: {config['Config']['Entrypoint']}")
    print(f"ok: {image_name(args)} is there, entry point {config['Config']['Entrypoint']}")


def check_image_contents(args):
    with tempfile.TemporaryDirectory(prefix="torvane-img-") as folder:
        archive = os.path.join(folder, "image.tar")
        status, output = podman(args, "image", "save", "--format", "docker-archive", "-o", archive, image_name(args))
        expect(status == 0, f"podman image save failed:\n{output}")
        files = {}
        with tarfile.open(archive) as outer:
            manifest = json.load(outer.extractfile("manifest.json"))
            for layer in manifest[0]["Layers"]:
                with tarfile.open(fileobj=outer.extractfile(layer)) as inner:
                    for m in inner.getmembers():
                        if not m.isdir():
                            files[os.path.normpath(m.name)] = inner.extractfile(m).read() if m.isfile() else None
        expected = sorted(["torvane-run"] + source_files(args.source, "examples"))
        expect(sorted(files) == expected, f"the image holds\n  {sorted(files)}\nexpected exactly\n  {expected}")
        with shipped_binary(args) as (_, binary), open(binary, "rb") as f:
            expect(files["torvane-run"] == f.read(), "the image's torvane-run is not the tarball's")
    print(f"ok: the image holds exactly {len(expected)} files: torvane-run and examples/")


def processes_naming(text):
    """PIDs whose command line holds text: the monitor podman leaves beside a
    running container names it by its id."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit() and int(entry) != os.getpid():
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    if text.encode() in f.read():
                        found.append(int(entry))
            except OSError:
                pass
    return found


def container_name(what):
    return f"torvane-test-{what}-{os.getpid()}"


def check_image_run(args):
    name = container_name("run")
    try:
        status, output = podman(args, "run", "--network", "none", "--name", name, image_name(args), "/examples/hold-64mb.evk")
        print(output)
        expect(status == 0, f"podman run of hold-64mb.evk exited with {status}")
        expect("Completed" in output, "the run did not reach its end")
    finally:
        podman(args, "rm", "--force", "--time", "0", name)
    print("ok: the image ran examples/hold-64mb.evk to its end, status 0")


def check_image_stop(args):
    """SIGTERM to the container: torvane-run is PID 1, so it stops only if it
    takes SIGTERM itself. Expected: status 143 and no process left."""
    name = container_name("stop")
    scripts = os.path.join(args.source, "tests/package/scripts")
    try:
        status, output = podman(args, "run", "--detach", "--network", "none", "--name", name, "--volume", f"{scripts}:/scripts:ro",
                                image_name(args), "/scripts/hold-long.evk")
        expect(status == 0, f"podman run --detach failed:\n{output}")
        wait_until(lambda: " Pause" in podman(args, "logs", name)[1], 30, "the script reaching its sleep")
        _, found = podman(args, "inspect", "--format", "{{.State.Pid}} {{.Id}}", name)
        pid, container_id = found.split()
        pid = int(pid)
        expect(pid > 0, "no host PID for the container")
        status, output = podman(args, "kill", "--signal", "TERM", name)
        expect(status == 0, f"podman kill failed:\n{output}")
        try:
            status, output = podman(args, "wait", name, deadline_s=20)
        except CheckFailed:
            raise CheckFailed("torvane-run as PID 1 was still running 20 s after SIGTERM")
        print(podman(args, "logs", name)[1])
        expect(output.strip() == "143", f"the container exited with {output.strip()}, not 143")
        wait_until(lambda: not os.path.exists(f"/proc/{pid}"), 10, f"the container's process {pid} ending")
        wait_until(lambda: not processes_naming(container_id), 10, "the runtime's processes for the container ending")
        _, state = podman(args, "inspect", "--format", "{{.State.Status}}", name)
        expect(state.strip() == "exited", f"the container's state is {state.strip()!r}, not exited")
    finally:
        podman(args, "rm", "--force", "--time", "0", name)
    print("ok: stopped with SIGTERM, the container exited with 143 and left no process")


def check_image_cleanup(args):
    """Removes the test's containers and images, then its store's folders.
    (Not `podman system reset`: that also clears machine-wide networks.)"""
    for argv in (["rm", "--all", "--force", "--time", "0"], ["rmi", "--all", "--force"]):
        status, output = podman(args, *argv, deadline_s=120)
        expect(status == 0, f"podman {' '.join(argv)} failed:\n{output}")
    options = shlex.split(args.podman)
    for flag in ("--root", "--runroot"):
        if flag in options:
            shutil.rmtree(options[options.index(flag) + 1], ignore_errors=True)
    print("ok: the test's containers, images and store are removed")


# ---- The manifests played by a real runtime ---------------------------------

# What the test changes in a manifest so that it never holds the machine.
PLAY_LIMIT = "1Gi"   # for a container without a memory limit
PLAY_SHRINK = {"--keep-available": {"2G": "256M"}}  # an unbounded target, made small
METRICS_PORT = 9464


def memory_bytes(quantity):
    units = {"Ki": 1 << 10, "Mi": 1 << 20, "Gi": 1 << 30, "K": 1000, "M": 1000 ** 2, "G": 1000 ** 3}
    match = re.fullmatch(r"(\d+)([KMG]i?)?", quantity)
    expect(match is not None, f"a memory quantity this check cannot read: {quantity}")
    return int(match.group(1)) * units.get(match.group(2) or "", 1)


def pod_of(manifest, image):
    """The manifest as `kube play` takes it: its ConfigMaps, and its workload's
    pod template as a Pod with the same containers, args, volumes, security
    context and grace period. Returns (documents, pod name, container, what
    was changed for the test)."""
    with open(manifest) as f:
        documents = [d for d in yaml.safe_load_all(f) if d]
    workloads = [d for d in documents if "template" in d.get("spec", {})]
    expect(len(workloads) == 1, f"{manifest}: one workload with a pod template expected")
    workload = workloads[0]
    template = copy.deepcopy(workload["spec"]["template"])
    spec = template["spec"]
    name = f"torvane-play-{os.path.basename(manifest)[:-5]}-{os.getpid()}"
    changes = []
    # The pod runs once here: a DaemonSet's restarts are the cluster's.
    spec["restartPolicy"] = "Never"
    expect(len(spec["containers"]) == 1, f"{manifest}: one container expected")
    container = spec["containers"][0]
    container["image"] = image
    limits = container.setdefault("resources", {}).setdefault("limits", {})
    if "memory" not in limits:
        limits["memory"] = PLAY_LIMIT
        changes.append(f"no memory limit: {PLAY_LIMIT} given")
    if container.pop("ports", None):
        # podman maps a pod's ports only on a network it bridges; the port is
        # read inside the pod's own namespace instead.
        changes.append("ports left out (--network none)")
    args = container.get("args", [])
    for i, argument in enumerate(args[:-1]):
        smaller = PLAY_SHRINK.get(argument, {}).get(args[i + 1])
        if smaller:
            changes.append(f"{argument} {args[i + 1]} shrunk to {smaller}")
            args[i + 1] = smaller
    pod = {"apiVersion": "v1", "kind": "Pod",
           "metadata": {"name": name, "labels": template.get("metadata", {}).get("labels", {}),
                        "annotations": template.get("metadata", {}).get("annotations", {})},
           "spec": spec}
    kept = [d for d in documents if d.get("kind") == "ConfigMap"] + [pod]
    return kept, name, container, changes


def pod_metrics(pid):
    """GET /metrics from inside the pod's own network namespace, on its
    127.0.0.1: the pod has no network of the host's."""
    fetch = ("import urllib.request;"
             f"print(urllib.request.urlopen('http://127.0.0.1:{METRICS_PORT}/metrics', timeout=5).read().decode())")
    status, output = run(["nsenter", f"--net=/proc/{pid}/ns/net", "--", sys.executable, "-c", fetch], 20)
    if status != 0:
        return {}
    figures = {}
    for line in output.splitlines():
        if line and not line.startswith("#"):
            series, value = line.rsplit(" ", 1)
            figures[series] = float(value)
    return figures


def check_kube_play(args):
    """Each manifest's pod, played by podman (runc) with the image
    tools/package.sh built, in the test's own store, with --network none.
    `kube play` takes no cgroup parent, so its pods go where podman puts
    them; each is removed at the end whatever happened."""
    manifests = sorted(os.path.join(args.source, "deploy/kubernetes", f)
                       for f in os.listdir(os.path.join(args.source, "deploy/kubernetes")) if f.endswith(".yaml"))
    expect(manifests, "no manifests in deploy/kubernetes")
    for manifest in manifests:
        documents, name, container, changes = pod_of(manifest, image_name(args))
        shown = os.path.basename(manifest)
        print(f"{shown}: pod {name}" + (f" ({'; '.join(changes)})" if changes else ""))
        limit = memory_bytes(container["resources"]["limits"]["memory"])
        grace = documents[-1]["spec"].get("terminationGracePeriodSeconds", 30)
        serves = "--metrics" in container.get("args", [])
        ctr = f"{name}-{container['name']}"
        with tempfile.TemporaryDirectory(prefix="torvane-play-") as folder:
            played = os.path.join(folder, "pod.yaml")
            with open(played, "w") as f:
                yaml.safe_dump_all(documents, f)
            try:
                status, output = podman(args, "kube", "play", "--network", "none", played, deadline_s=120)
                expect(status == 0, f"{shown}: podman kube play failed:\n{output}")
                logs = lambda: podman(args, "logs", ctr)[1]
                wait_until(lambda: "avail=" in logs(), 30, f"{shown}: the first line")
                first = next(line for line in logs().splitlines() if "avail=" in line)
                found = re.search(r"avail=([0-9.]+)MiB\(cgroup\)", first)
                expect(found, f"{shown}: the room is not the pod's limit (no (cgroup)): {first}")
                room = float(found.group(1)) * MIB
                # Before anything is taken only torvane-run's own pages are in the group.
                expect(limit - 16 * MIB <= room <= limit,
                       f"{shown}: a room of {room / MIB:.1f} MiB under a limit of {limit / MIB:.0f} MiB")
                print(f"  the room is the limit: {first.split('  ')[3]} for {limit / MIB:.0f} MiB")
                _, pid = podman(args, "inspect", "--format", "{{.State.Pid}}", ctr)
                pid = int(pid.strip())
                if serves:
                    figures = wait_until(lambda: pod_metrics(pid).get("torvane_held_bytes") and pod_metrics(pid), 30,
                                         f"{shown}: the metrics port answering with something held")
                    expect(figures.get('torvane_room_total_bytes{source="cgroup"}') == limit,
                           f"{shown}: the room's total is not the limit: {figures}")
                    print(f"  :{METRICS_PORT}/metrics answers: held {figures['torvane_held_bytes'] / MIB:.1f} MiB,"
                          f" room total {limit / MIB:.0f} MiB (cgroup)")
                if "--keep-available" in container.get("args", []):
                    keep = wait_until(lambda: re.search(r"within ([0-9.]+)MiB either side", logs()), 30,
                                      f"{shown}: the keep line")
                    band = float(keep.group(1)) * MIB

                    def in_band():
                        figures = pod_metrics(pid)
                        room, target = figures.get("torvane_room_bytes"), figures.get("torvane_target_room_bytes")
                        return room is not None and target and abs(room - target) <= band and (room, target)

                    room, target = wait_until(in_band, 30, f"{shown}: the room within its band")
                    print(f"  keeps the room at {room / MIB:.1f} MiB, target {target / MIB:.1f} MiB ± {band / MIB:.1f}")
                started = time.monotonic()
                status, output = podman(args, "pod", "stop", "-t", str(grace), name, deadline_s=grace + 30)
                took = time.monotonic() - started
                expect(status == 0, f"{shown}: podman pod stop failed:\n{output}")
                text = logs()
                expect(re.search(r"^\S+ \S+  .*  stop     ", text, re.M),
                       f"{shown}: no stop line in the log:\n{text}")
                _, code = podman(args, "inspect", "--format", "{{.State.ExitCode}}", ctr)
                expect(took < grace, f"{shown}: the stop took {took:.1f} s of a {grace} s grace period")
                # A stop is the normal end (0) only of a hold with neither
                # --for nor a command; else 143, never a kill's 137.
                given = container.get("args", [])
                holds = "--hold" in given or "--keep-available" in given
                normal = holds and "--for" not in given and "--" not in given
                expect(code.strip() == ("0" if normal else "143"),
                       f"{shown}: exit status {code.strip()} after the stop, not {'0' if normal else '143'}")
                print(f"  stopped in {took:.1f} s of {grace} s with its stop line, exit status {code.strip()}")
            finally:
                podman(args, "pod", "rm", "--force", "--time", "0", name)
        _, left = podman(args, "ps", "--all", "--format", "{{.Names}}")
        expect(name not in left, f"{shown}: a container of the pod is left:\n{left}")
    print(f"ok: {len(manifests)} manifests played, each pod's limit its room, stopped within its grace period")


CHECKS = {
    "contents": check_contents,
    "window-imports": check_window_imports,
    "static": check_static,
    "empty-root": check_empty_root,
    "help-in-docs": check_help_in_docs,
    "populate-fallback": check_populate_fallback,
    "image-present": check_image_present,
    "image-contents": check_image_contents,
    "image-run": check_image_run,
    "image-stop": check_image_stop,
    "image-cleanup": check_image_cleanup,
    "kube-play": check_kube_play,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("check", choices=sorted(CHECKS))
    parser.add_argument("--packages", required=True, help="the folder tools/package.sh wrote")
    parser.add_argument("--source", required=True, help="the repository")
    parser.add_argument("--podman", default="", help="global podman options: the test's own store")
    parser.add_argument("--tool", help="populate_blocked, for populate-fallback")
    args = parser.parse_args()
    try:
        CHECKS[args.check](args)
    except CheckFailed as failure:
        print(f"FAILED: {failure}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
