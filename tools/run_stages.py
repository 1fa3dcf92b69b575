"""Runs make targets one after another, each to its end whatever the others
did, then prints one line per target (name, result, duration).  Exits 1 if
any failed, 130 on Ctrl-C (the running target is stopped, none started).

    python tools/run_stages.py [--make MAKE] TARGET ...

Each target runs in a process group of its own, so that a stop reaches
everything it started (pytest, the compilers, a Ray driver) even when the
signal came only to this process.
"""
from __future__ import annotations

import argparse
import os
import shlex
import signal
import subprocess
import sys
import time

GRACE = 20.0  # seconds a stopped target has to exit before it is killed
stopping: list[int] = []  # the signal that asked this run to stop


def _on_signal(signum: int, _frame: object) -> None:
    # Only noted: raising here could fall between starting a target and
    # knowing its process, which would then be left running.
    stopping.append(signum)


def _group_gone(pgid: int, seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            os.killpg(pgid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.1)
    return False


def _stop(proc: subprocess.Popen[bytes], signum: int) -> None:
    """Passes the stop on to the target's group.  What is left once make has
    gone (a job the shell started in the background ignores Ctrl-C) gets
    SIGTERM, and SIGKILL after GRACE, as does a make that does not end."""
    try:
        os.killpg(proc.pid, signum)
    except ProcessLookupError:
        pass
    try:
        proc.wait(timeout=GRACE)
    except subprocess.TimeoutExpired:
        pass
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            break
        if _group_gone(proc.pid, GRACE):
            break
    proc.wait()


def run(make: list[str], target: str) -> str:
    """"pass", "FAIL (status)" or "INTERRUPTED"."""
    print(f"\n===== {target} =====", flush=True)
    proc = subprocess.Popen([*make, target], process_group=0)
    while True:
        try:
            code = proc.wait(timeout=0.2)
            break
        except subprocess.TimeoutExpired:
            if stopping:
                _stop(proc, stopping[0])
                return "INTERRUPTED"
    if stopping:
        return "INTERRUPTED"
    return "pass" if code == 0 else f"FAIL ({code})"


def _duration(seconds: float) -> str:
    minutes, secs = divmod(round(seconds), 60)
    return f"{minutes:d}:{secs:02d}"


def summary(rows: list[tuple[str, str, float]], total: float) -> str:
    width = max(len("stage"), *(len(r[0]) for r in rows))
    lines = [f"{'stage':{width}}  {'result':12}  time"]
    lines += [f"{name:{width}}  {result:12}  {_duration(sec)}" for name, result, sec in rows]
    lines.append(f"{'total':{width}}  {'':12}  {_duration(total)}")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--make", default=os.environ.get("MAKE", "make"),
                        help="the make command (split like a shell would)")
    parser.add_argument("targets", nargs="+")
    args = parser.parse_args()
    make = shlex.split(args.make)

    signal.signal(signal.SIGINT, _on_signal)
    signal.signal(signal.SIGTERM, _on_signal)
    rows: list[tuple[str, str, float]] = []
    began = time.monotonic()
    for target in args.targets:
        if stopping:
            rows.append((target, "not run", 0.0))
            continue
        start = time.monotonic()
        rows.append((target, run(make, target), time.monotonic() - start))
    print("\n" + summary(rows, time.monotonic() - began), flush=True)
    if stopping:
        return 128 + stopping[0]
    return int(any(result != "pass" for _, result, _ in rows))


if __name__ == "__main__":
    sys.exit(main())
