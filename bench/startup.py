#!/usr/bin/env python3
"""Whole-process startup benchmark: the service against the bare minimum.

For each plugin count N it lays out a shared-data directory with N plugin
description files and N plugin libraries (copies of one small plugin: each
distinct file is a library of its own to the dynamic loader), some plugins
depending on others. The plugin that starts last, "zz-last", sends SIGTERM to
its own process from its Initialize, so one run is: start the process, read
and start every plugin, write the status file, take the signal, stop and
clean up every plugin, end by the signal.

The same plugins are run by the service's benchmark variant and by the plain
C baseline (bench/baseline.c), alternately, several times each; the report
gives the median wall time of each and their ratio, the median CPU time
(user and system) of each and their ratio, and each one's peak resident
memory (ru_maxrss from wait4, taken by the small launcher bench/launch.c,
whose own memory does not mask the child's). It then measures the idle
resident memory of the service with no plugins against a C++ program that
links the same libraries and only waits. Both programs write their status
files into a directory in memory unless --status-on-disk is given.

The ordering works for both: plugin names are p00000, p00001, ... and each
plugin depends only on plugins of lower number, so the order of file names
that the baseline uses satisfies every dependency, and the service, which
puts ready plugins in name order, starts zz-last last.

With --reports the service also writes its metrics file (--metrics-file, in
the status directory) and sends its journal records, to a socket this script
binds where the bench variant's journal socket lies and drains.

With --syscalls one more run of each program per count goes under strace -f -c,
and the system calls per plugin are reported beside the ratios (strace is
then needed).

With --isolation it measures instead what plugins in processes of their own
cost: for each N, the service over the same plugins, once with every plugin
but zz-last given Isolation=process (zz-last signals its own process, which
must be the service's) and once with all of them in the service's process,
alternately; the report gives the extra time per isolated plugin. Then the
private memory of one idle isolated plugin's process beyond its plugin's own
mappings.

Usage: startup.py --targets BUILD/bench/bench-targets.json [--counts 250,1000,4000]
                  [--runs 7] [--status-on-disk] [--reports] [--syscalls] [--isolation]
"""

import argparse
import json
import os
import shutil
import signal
import statistics
import sys
import subprocess
import socket
import tempfile
import threading
import time

# Time for a process with no plugins to settle into its wait before its
# resident memory is read.
IDLE_SETTLE_SECONDS = 0.5
# A tmpfs on Debian, as /run is.
MEMORY_DIRECTORY = "/dev/shm"

TARGET_RATIO = 1.10
# What a plugin in a process of its own may cost beyond one in the service's
# process: start and stop time per plugin, and private memory when idle.
TARGET_ISOLATION_MS_PER_PLUGIN = 3.0
TARGET_ISOLATED_PRIVATE_KIB = 1024
TARGET_RATIO_GROWTH = 0.05
TARGET_IDLE_MEMORY_FACTOR = 1.5
# The service's system calls per plugin against the baseline's.
TARGET_SYSTEM_CALL_FACTOR = 1.5


def plugin_name(index):
    return "p%05d" % index


def dependencies_of(index):
    """A few dependencies on plugins of lower number, for three in four plugins."""
    candidates = {
        0: [index // 3],
        1: [index - 1],
        2: [index - 2, index // 2],
        3: [],
    }[index % 4]
    return sorted({plugin_name(d) for d in candidates if 0 <= d < index})


def description_text(name, library, dependencies, isolated=False):
    # Exactly the syntax the service accepts: no blank line anywhere.
    return (
        "[Service]\n"
        "Name=%s\n"
        "Dependencies=%s\n"
        "Path=%s\n"
        "Requires=1\n"
        "Initialize=benchInitialize\n"
        "Stop=benchStop\n"
        "Cleanup=benchCleanup\n" % (name, ", ".join(dependencies), library)
        + ("Isolation=process\n" if isolated else "")
    )


def stamp_of(targets, count):
    """What a generated directory was made from; a match means it can be reused."""
    parts = [str(count)]
    for key in ("plugin", "lastPlugin"):
        info = os.stat(targets[key])
        parts.append("%s:%d:%d" % (key, info.st_size, info.st_mtime_ns))
    return " ".join(parts) + "\n"


def plugins_directory(share):
    return os.path.join(share, "KorvoRemoteService", "plugins")


def generate_share_directory(targets, count, isolated=False, last=True):
    """The shared-data directory for `count` plugins (0: an empty plugins directory);
    `isolated`: every plugin but zz-last in a process of its own; without `last`,
    no zz-last: the service keeps running."""
    share = os.path.join(targets["root"], "share-%d%s%s" % (
        count, "-isolated" if isolated else "", "" if last else "-idle"))
    stamp_path = os.path.join(share, "stamp")
    stamp = stamp_of(targets, count) + ("isolated\n" if isolated else "")
    if os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return share
    shutil.rmtree(share, ignore_errors=True)
    descriptions = plugins_directory(share)
    libraries = os.path.join(share, "lib")
    os.makedirs(descriptions)
    os.makedirs(libraries)
    plugins = [(plugin_name(i), targets["plugin"], dependencies_of(i)) for i in range(count - 1)]
    if count > 0 and not last:
        plugins.append((plugin_name(count - 1), targets["plugin"], []))
    elif count > 0:
        last_dependencies = sorted({plugin_name(0), plugin_name(count - 2)}) if count > 1 else []
        plugins.append(("zz-last", targets["lastPlugin"], last_dependencies))
    for name, source, dependencies in plugins:
        library = os.path.join(libraries, name + ".so")
        shutil.copyfile(source, library)
        with open(os.path.join(descriptions, name + ".ini"), "w") as description:
            description.write(description_text(name, library, dependencies,
                                               isolated and name != "zz-last"))
    with open(stamp_path, "w") as stamp_file:
        stamp_file.write(stamp)
    return share


def point_service_at(targets, share):
    os.makedirs(os.path.dirname(targets["pointerFile"]), exist_ok=True)
    with open(targets["pointerFile"], "w") as pointer:
        pointer.write(share + "\n")


def place_status_directory(targets, on_disk):
    """The status directory of both programs: on the build tree's file system,
    or (the default) a link to a directory in memory, as /var/run is a tmpfs on
    the machines the service is deployed to. On ext4 every rename over the
    previous status file starts the writeback of the new one, which costs the
    service, with its five writes of up to a few hundred KB, a few ms more
    than the baseline with its one write. Returns a function that removes
    what was made."""
    status = targets["statusDirectory"]
    if os.path.islink(status):
        os.remove(status)
    if on_disk or not os.path.isdir(MEMORY_DIRECTORY):
        os.makedirs(status, exist_ok=True)
        return lambda: None
    shutil.rmtree(status, ignore_errors=True)
    in_memory = tempfile.mkdtemp(prefix="zo-bench-status-", dir=MEMORY_DIRECTORY)
    os.makedirs(os.path.dirname(status), exist_ok=True)
    os.symlink(in_memory, status)

    def remove():
        os.remove(status)
        shutil.rmtree(in_memory, ignore_errors=True)

    return remove


def clean_environment():
    """The caller's environment without the stand-in's and the test plugins' switches."""
    return {
        key: value
        for key, value in os.environ.items()
        if not key.startswith("ZOSYSAPI_") and not key.startswith("ZO_TEST_")
    }


class Run:
    def __init__(self, seconds, max_rss_kib, cpu_seconds, status):
        self.seconds = seconds
        self.max_rss_kib = max_rss_kib
        self.cpu_seconds = cpu_seconds
        self.status = status


def spawn(command):
    return os.posix_spawn(command[0], command, clean_environment())


def run_to_end(targets, command):
    """Runs `command` through the launcher until it ends; its costs."""
    launcher = subprocess.run([targets["launch"]] + command, env=clean_environment(),
                              stdout=subprocess.PIPE, check=True, text=True)
    wall_ns, max_rss_kib, user_us, system_us, status = map(int, launcher.stdout.split())
    return Run(wall_ns / 1e9, max_rss_kib, (user_us + system_us) / 1e6, status)


def ended_by_sigterm(run):
    return os.WIFSIGNALED(run.status) and os.WTERMSIG(run.status) == signal.SIGTERM


def check_service_run(targets, count, run):
    status_path = os.path.join(targets["statusDirectory"], "zoKorvoRemoteService.status")
    text = open(status_path).read()
    loaded = text.count("\nLoaded From: ")
    failed = text.count(" Code: -")
    if not ended_by_sigterm(run) or loaded != count or failed != 0:
        sys.exit(
            "service run for N=%d went wrong: status %d, %d plugins listed, %d failed steps"
            % (count, run.status, loaded, failed)
        )


def check_baseline_run(targets, count, run):
    status_path = os.path.join(targets["statusDirectory"], "baseline.status")
    lines = open(status_path).read().splitlines()
    started = sum(1 for line in lines if line.endswith(" 0"))
    if not ended_by_sigterm(run) or started != count:
        sys.exit(
            "baseline run for N=%d went wrong: status %d, %d of %d plugins started"
            % (count, run.status, started, count)
        )


def stand_in_for_the_journal(targets):
    """Binds the bench variant's journal socket and drains it in a thread of
    its own; sets JOURNAL_STREAM to this process's standard error, which
    every run inherits, so that the service takes it for the journal."""
    path = targets["journalSocket"]
    if os.path.exists(path):
        os.remove(path)
    journal = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    journal.bind(path)
    journal.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)

    def drain():
        while True:
            journal.recv(1 << 20)

    threading.Thread(target=drain, daemon=True).start()
    error = os.fstat(2)
    os.environ["JOURNAL_STREAM"] = "%d:%d" % (error.st_dev, error.st_ino)


def service_command(targets, reports):
    command = [targets["service"]]
    if reports:
        command += ["--metrics-file",
                    os.path.join(targets["statusDirectory"], "zoKorvoRemoteService.prom")]
    return command


def measure_count(targets, count, runs, reports):
    """Alternating runs of the service and the baseline over `count` plugins."""
    share = generate_share_directory(targets, count)
    point_service_at(targets, share)
    service = service_command(targets, reports)
    baseline = [targets["baseline"], plugins_directory(share), targets["statusDirectory"]]
    # One untimed run of each puts the files into the page cache.
    run_to_end(targets, service)
    run_to_end(targets, baseline)
    service_runs, baseline_runs = [], []
    for round_number in range(runs):
        pair = [(service, service_runs, check_service_run),
                (baseline, baseline_runs, check_baseline_run)]
        if round_number % 2 == 1:
            pair.reverse()
        for command, results, check in pair:
            run = run_to_end(targets, command)
            check(targets, count, run)
            results.append(run)
    return service_runs, baseline_runs


def count_system_calls(command):
    """Runs `command` once under strace -f -c: its system calls by name."""
    with tempfile.NamedTemporaryFile(mode="r", suffix=".strace") as summary:
        subprocess.run(["strace", "-f", "-c", "-o", summary.name, "--"] + command,
                       env=clean_environment(), check=False)
        calls = {}
        for line in summary.read().splitlines():
            fields = line.split()
            # "% time  seconds  usecs/call  calls  [errors]  syscall"
            if len(fields) >= 5 and fields[0][0].isdigit() and fields[-1] != "total":
                calls[fields[-1]] = int(fields[3])
        return calls


def measure_system_calls(targets, count, reports):
    """System calls per plugin of one run of each program over `count` plugins."""
    share = generate_share_directory(targets, count)
    point_service_at(targets, share)
    baseline = [targets["baseline"], plugins_directory(share), targets["statusDirectory"]]
    return (count_system_calls(service_command(targets, reports)),
            count_system_calls(baseline))


def report_system_calls(counted):
    print()
    print("System calls per plugin (strace -f -c, one run each), the loader's own included:")
    print()
    print("| N | service | baseline | service / baseline | service's most frequent |")
    print("|---|---|---|---|---|")
    for count, (service, baseline) in counted.items():
        service_total = sum(service.values()) / count
        baseline_total = sum(baseline.values()) / count
        frequent = sorted(service.items(), key=lambda item: -item[1])[:9]
        print("| %d | %.1f | %.1f | %.2f | %s |" % (
            count, service_total, baseline_total, service_total / baseline_total,
            ", ".join("%.1f %s" % (calls / count, name) for name, calls in frequent)))
    for count, (service, baseline) in counted.items():
        if count == 1000:
            limit = TARGET_SYSTEM_CALL_FACTOR * sum(baseline.values()) / count
            value = sum(service.values()) / count
            print("  %-45s %-8s %s" % ("system calls per plugin at N=1000 <= %.1f" % limit,
                                       "%.1f" % value, "met" if value <= limit else "MISSED"))


def median(values):
    return statistics.median(values)


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for process %d" % pid)


def idle_resident_kib(command):
    """Resident memory of `command` once it waits, then ends it with SIGTERM."""
    pid = spawn(command)
    try:
        time.sleep(IDLE_SETTLE_SECONDS)
        return resident_kib(pid)
    finally:
        os.kill(pid, signal.SIGTERM)
        os.waitpid(pid, 0)


def measure_idle(targets, runs):
    share = generate_share_directory(targets, 0)
    point_service_at(targets, share)
    commands = {
        "service": [targets["service"]],
        "baseline": [targets["baseline"], plugins_directory(share), targets["statusDirectory"]],
        "minimal C++ program": [targets["idle"]],
    }
    return {name: median([idle_resident_kib(command) for _ in range(runs)])
            for name, command in commands.items()}


def mib(kib):
    return "%.1f" % (kib / 1024.0)


def report(results, idle, runs):
    print("Whole-process startup, median of %d runs each (machine: %d cores)" % (runs, os.cpu_count()))
    print()
    print("| N | service ms | baseline ms | ratio | service CPU ms | baseline CPU ms "
          "| CPU ratio | service peak RSS MiB | baseline peak RSS MiB |")
    print("|---|---|---|---|---|---|---|---|---|")
    ratios = {}
    for count, (service_runs, baseline_runs) in results.items():
        service_ms = 1000 * median([r.seconds for r in service_runs])
        baseline_ms = 1000 * median([r.seconds for r in baseline_runs])
        service_cpu_ms = 1000 * median([r.cpu_seconds for r in service_runs])
        baseline_cpu_ms = 1000 * median([r.cpu_seconds for r in baseline_runs])
        ratios[count] = service_ms / baseline_ms
        print("| %d | %.1f | %.1f | %.3f | %.1f | %.1f | %.3f | %s | %s |" % (
            count, service_ms, baseline_ms, ratios[count], service_cpu_ms, baseline_cpu_ms,
            service_cpu_ms / baseline_cpu_ms,
            mib(median([r.max_rss_kib for r in service_runs])),
            mib(median([r.max_rss_kib for r in baseline_runs]))))
    print()
    print("Idle resident memory with no plugins (VmRSS, median of %d):" % runs)
    for name, kib in idle.items():
        print("  %-20s %6d KiB" % (name, kib))
    print()
    verdicts = []
    for count in (1000, 4000):
        if count in ratios:
            verdicts.append(("ratio at N=%d <= %.2f" % (count, TARGET_RATIO),
                             ratios[count] <= TARGET_RATIO, "%.3f" % ratios[count]))
    if 250 in ratios and 4000 in ratios:
        growth = ratios[4000] - ratios[250]
        verdicts.append(("ratio(4000) - ratio(250) <= %.2f" % TARGET_RATIO_GROWTH,
                         growth <= TARGET_RATIO_GROWTH, "%+.3f" % growth))
    factor = idle["service"] / idle["minimal C++ program"]
    verdicts.append(("idle memory <= %.1f x minimal C++ program" % TARGET_IDLE_MEMORY_FACTOR,
                     factor <= TARGET_IDLE_MEMORY_FACTOR, "%.2f x" % factor))
    for what, met, value in verdicts:
        print("  %-45s %-8s %s" % (what, value, "met" if met else "MISSED"))


def measure_isolation(targets, count, runs):
    """Alternating runs of the service over `count` plugins in its own process
    and over the same plugins but zz-last in processes of their own."""
    shares = {False: generate_share_directory(targets, count),
              True: generate_share_directory(targets, count, isolated=True)}
    command = service_command(targets, False)
    results = {False: [], True: []}
    for isolated in (False, True):  # untimed: into the page cache
        point_service_at(targets, shares[isolated])
        run_to_end(targets, command)
    for round_number in range(runs):
        order = (False, True) if round_number % 2 == 0 else (True, False)
        for isolated in order:
            point_service_at(targets, shares[isolated])
            run = run_to_end(targets, command)
            check_service_run(targets, count, run)
            results[isolated].append(run)
    return results[False], results[True]


def private_kib(pid, excluded_file):
    """Private memory of `pid` (clean and dirty), and the part mapped from `excluded_file`."""
    total = excluded = 0
    mapping = None
    with open("/proc/%d/smaps" % pid) as smaps:
        for line in smaps:
            fields = line.split()
            if fields and "-" in fields[0] and not fields[0].endswith(":"):
                mapping = fields[5] if len(fields) > 5 else None
            elif fields and fields[0] in ("Private_Clean:", "Private_Dirty:"):
                total += int(fields[1])
                if mapping == excluded_file:
                    excluded += int(fields[1])
    return total, excluded


def children_of(pid):
    with open("/proc/%d/task/%d/children" % (pid, pid)) as children:
        return [int(child) for child in children.read().split()]


def idle_isolated_private_kib(targets):
    """One isolated plugin's process, idle: its private memory beyond the
    plugin library's own mappings, and that of the library."""
    share = generate_share_directory(targets, 1, isolated=True, last=False)
    point_service_at(targets, share)
    library = os.path.join(share, "lib", plugin_name(0) + ".so")
    pid = spawn(service_command(targets, False))
    try:
        deadline = time.monotonic() + 30
        while not children_of(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(IDLE_SETTLE_SECONDS)
        total, plugin = private_kib(children_of(pid)[0], library)
        return total - plugin, plugin
    finally:
        os.kill(pid, signal.SIGTERM)
        os.waitpid(pid, 0)


def report_isolation(results, idle_private, runs):
    print("Plugins in processes of their own, median of %d runs each (machine: %d cores)"
          % (runs, os.cpu_count()))
    print()
    print("| N | in the service's process ms | isolated ms | extra per isolated plugin ms |")
    print("|---|---|---|---|")
    verdicts = []
    for count, (shared_runs, isolated_runs) in results.items():
        shared_ms = 1000 * median([r.seconds for r in shared_runs])
        isolated_ms = 1000 * median([r.seconds for r in isolated_runs])
        per_plugin = (isolated_ms - shared_ms) / max(1, count - 1)
        print("| %d | %.1f | %.1f | %.2f |" % (count, shared_ms, isolated_ms, per_plugin))
        verdicts.append(("extra per isolated plugin at N=%d <= %.1f ms"
                         % (count, TARGET_ISOLATION_MS_PER_PLUGIN),
                         per_plugin <= TARGET_ISOLATION_MS_PER_PLUGIN, "%.2f ms" % per_plugin))
    beyond, plugin = idle_private
    print()
    print("Idle isolated plugin's process: %d KiB private beyond its plugin's own %d KiB"
          % (beyond, plugin))
    verdicts.append(("idle isolated private memory <= %d KiB" % TARGET_ISOLATED_PRIVATE_KIB,
                     beyond <= TARGET_ISOLATED_PRIVATE_KIB, "%d KiB" % beyond))
    print()
    for what, met, value in verdicts:
        print("  %-50s %-10s %s" % (what, value, "met" if met else "MISSED"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--targets", required=True, help="bench-targets.json of the build")
    parser.add_argument("--counts", default="250,1000,4000", help="plugin counts, comma-separated")
    parser.add_argument("--runs", type=int, default=7, help="timed runs of each program per count")
    parser.add_argument("--status-on-disk", action="store_true",
                        help="keep the status directory on the build tree's file system")
    parser.add_argument("--syscalls", action="store_true",
                        help="also count system calls per plugin with strace -f -c")
    parser.add_argument("--reports", action="store_true",
                        help="the service also writes metrics and sends journal records")
    parser.add_argument("--isolation", action="store_true",
                        help="instead: isolated plugins against plugins in the service's process")
    arguments = parser.parse_args()
    if arguments.runs < 1:
        parser.error("--runs must be at least 1")
    with open(arguments.targets) as targets_file:
        targets = json.load(targets_file)
    counts = [int(count) for count in arguments.counts.split(",")]
    if min(counts) < 1:
        parser.error("every plugin count must be at least 1")
    remove_status_directory = place_status_directory(targets, arguments.status_on_disk)
    try:
        if arguments.reports:
            stand_in_for_the_journal(targets)
        else:
            os.environ.pop("JOURNAL_STREAM", None)
        if arguments.isolation:
            isolation = {count: measure_isolation(targets, count, arguments.runs)
                         for count in counts}
            report_isolation(isolation, idle_isolated_private_kib(targets), arguments.runs)
            return
        results = {count: measure_count(targets, count, arguments.runs, arguments.reports)
                   for count in counts}
        idle = measure_idle(targets, arguments.runs)
        counted = ({count: measure_system_calls(targets, count, arguments.reports)
                    for count in counts} if arguments.syscalls else {})
    finally:
        remove_status_directory()
    report(results, idle, arguments.runs)
    if counted:
        report_system_calls(counted)


if __name__ == "__main__":
    main()
