"""Whole-process timing for the benchmarks: median wall time and peak RSS of a command, and the
ratio against a peer command run alternately in the same session (so machine drift cancels)."""

import fcntl
import os
import re
import statistics
import subprocess
import sys
import tempfile


def run_once(argv, stdout_path=None, env=None):
    """Runs argv under /usr/bin/time; returns (wall seconds, peak RSS in KiB, exit code).
    CPU seconds (user + system) of the last run are kept in `last_cpu`."""
    global last_cpu
    with tempfile.NamedTemporaryFile(mode="r", suffix=".time") as report:
        out = open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL
        try:
            code = subprocess.call(["/usr/bin/time", "-f", "%e %U %S %M", "-o", report.name, *argv],
                                   stdout=out, stderr=subprocess.DEVNULL, env=env)
        finally:
            if stdout_path:
                out.close()
        fields = report.read().split()
        # /usr/bin/time prints "Command exited with non-zero status N" first on failure.
        numbers = [f for f in fields if re.fullmatch(r"[0-9.]+", f)]
        last_cpu = float(numbers[-3]) + float(numbers[-2])
        return float(numbers[-4]), int(numbers[-1]), code


def measure(argv, runs=3, prepare=None, env=None):
    """Median wall seconds and the largest peak RSS (KiB) over `runs` runs after one warm-up.
    `prepare` runs before every run (to remove an output, say)."""
    times, peaks = [], []
    for i in range(runs + 1):
        if prepare:
            prepare()
        wall, peak, code = run_once(argv, env=env)
        if code != 0:
            raise SystemExit(f"command failed ({code}): {' '.join(argv)}")
        if i > 0:
            times.append(wall)
            peaks.append(peak)
    return statistics.median(times), max(peaks)


last_cpu = 0.0


class _BenchLock:
    """Serialises comparisons across concurrent benchmark runs on a shared machine."""

    def __enter__(self):
        self.file = open(os.path.join(tempfile.gettempdir(), "kelvane-bench.lock"), "w")
        fcntl.flock(self.file, fcntl.LOCK_EX)

    def __exit__(self, *exc):
        fcntl.flock(self.file, fcntl.LOCK_UN)
        self.file.close()


def compare(label, ours, peer, runs=3, prepare=None, goal=None):
    """Times `ours` and `peer` alternately and prints one line: times, CPU times, ratio, peak RSS.
    Returns the wall-time ratio ours/peer (below 1 means we are faster)."""
    with _BenchLock():
        return _compare(label, ours, peer, runs, prepare, goal)


def _compare(label, ours, peer, runs, prepare, goal):
    ours_times, peer_times, ours_peak, peer_peak = [], [], 0, 0
    ours_cpu, peer_cpu = [], []
    for i in range(runs + 1):
        for argv, times, which in ((ours, ours_times, "ours"), (peer, peer_times, "peer")):
            if prepare:
                prepare()
            wall, peak, code = run_once(argv)
            if code != 0:
                raise SystemExit(f"{which} command failed ({code}): {' '.join(argv)}")
            if i > 0:
                times.append(wall)
                (ours_cpu if which == "ours" else peer_cpu).append(last_cpu)
                if which == "ours":
                    ours_peak = max(ours_peak, peak)
                else:
                    peer_peak = max(peer_peak, peak)
    ours_median = statistics.median(ours_times)
    peer_median = statistics.median(peer_times)
    ratio = ours_median / peer_median if peer_median > 0 else float("inf")
    goal_text = f"  goal {goal}" if goal else ""
    cpu_text = f"cpu {statistics.median(ours_cpu):6.2f}s/{statistics.median(peer_cpu):6.2f}s"
    print(f"{label:<40} ours {ours_median:7.3f}s  peer {peer_median:7.3f}s  ratio {ratio:5.2f}x  {cpu_text}"
          f"  rss ours {ours_peak/1024:7.1f} MB peer {peer_peak/1024:7.1f} MB{goal_text}")
    sys.stdout.flush()
    return ratio


def kelvane_binary():
    """The Release build of kelvane (built by ../run.sh or cmake into build/)."""
    here = os.path.dirname(os.path.abspath(__file__))
    path = os.path.join(os.path.dirname(here), "build", "kelvane")
    if not os.path.exists(path):
        raise SystemExit("build/kelvane is missing: run ./run.sh --version or build Release into build/ first")
    return path
