#!/usr/bin/env python3
"""Checks the estimates of quillmere against runs of several shapes.

For each scenario: the bytes --check estimates against the bytes the run
writes, the time --check estimates against the wall time, and the progress
line's time left at half-way against the time the run really took from there
(the progress line is read from a pseudo-terminal, as a user sees it).
The runs at one thread also give the seconds per unit of work that
src/run/work_estimate.cpp keeps (the scenarios named in work_estimate.cpp).

Usage: bench/estimate_check.py QUILLMERE WORKDIR [scenario...]
Scenarios are written into WORKDIR; the default runs all but the two of
2000 animals on 10 x 5000 markers with genomic selection ("gs" with
--files plink,summary,report, "gs-files" with the default files), which
take about half a minute each.
"""
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def scenario(name, nmpc, nchr, s1, g1, n2, n3, g3, sel):
    """A parameter file after bench/large.par with these shapes."""
    lines = open(os.path.join(HERE, "large.par")).read().split("\n")
    sires1, dams1 = max(10, s1 // 10), s1 // 2
    for k, l in enumerate(lines):
        if l.startswith("401 10 0"):
            lines[k] = f"{nmpc} {nchr} 0             nmpc nchr maptype"
        elif l.startswith("100 200 500 60"):
            lines[k] = f"{sires1} {dams1} {s1} {g1}"
        elif l.startswith("50 500 1000 1"):
            lines[k] = f"50 500 {n2} 1"
        elif l.startswith("50 500 1000 5"):
            lines[k] = f"50 500 {n3} {g3}"
        elif l.startswith("0 0 1"):
            lines[k] = f"0 0 {sel if sel in (3, 4) else 1}"
        elif l.startswith("0 0 2"):
            lines[k] = f"0 0 {sel}"
    return "\n".join(lines)


SCENARIOS = {
    # name: (shape, extra options)
    "hist": (scenario("hist", 1000, 10, 1000, 100, 1000, 1000, 1, 1), "--files summary"),
    "later": (scenario("later", 500, 10, 500, 50, 2000, 2000, 30, 2), "--files summary"),
    "later-files": (scenario("later", 500, 10, 500, 50, 2000, 2000, 30, 2), ""),
    "pblup": (scenario("pblup", 500, 10, 500, 50, 1000, 1000, 10, 3), "--files summary"),
    "gsmall": (scenario("gsmall", 2000, 10, 200, 20, 1000, 1000, 4, 4), "--files summary"),
    "gs": (scenario("gs", 5000, 10, 200, 20, 2000, 2000, 4, 4), "--files plink,summary,report"),
    "gs-files": (scenario("gs", 5000, 10, 200, 20, 2000, 2000, 4, 4), ""),
}


def folder_bytes(d):
    return sum(os.path.getsize(os.path.join(d, f)) for f in os.listdir(d))


def parse_check(text):
    total = re.search(r"files: about ([\d.]+) (B|kB|MB|GB|TB) in all", text)
    unit = {"B": 1, "kB": 1e3, "MB": 1e6, "GB": 1e9, "TB": 1e12}[total.group(2)]
    t = re.search(r"time: about (\d+):(\d\d):(\d\d)", text)
    return float(total.group(1)) * unit, int(t.group(1)) * 3600 + int(t.group(2)) * 60 + int(t.group(3))


def run_with_progress(cmd):
    """Runs cmd with standard error on a pseudo-terminal; returns the wall
    time and the (time, share, left) of every progress line shown."""
    master, slave = pty.openpty()
    t0 = time.monotonic()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    seen, buf = [], b""
    while True:
        r, _, _ = select.select([master], [], [], 0.5)
        if r:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            now = time.monotonic() - t0
            buf += chunk
            matches = list(re.finditer(rb"([\d.]+) %  about (\d+):(\d\d):(\d\d) left", buf))
            if matches:  # the line as it stands now
                m = matches[-1]
                seen.append((now, float(m.group(1)) / 100, int(m.group(2)) * 3600 + int(m.group(3)) * 60 + int(m.group(4))))
                buf = buf[m.end():]
            buf = buf[-200:]
        elif p.poll() is not None:
            break
    p.wait()
    os.close(master)
    return time.monotonic() - t0, seen


def main():
    binary, work = sys.argv[1], sys.argv[2]
    names = sys.argv[3:] or [n for n in SCENARIOS if not n.startswith("gs")]
    os.makedirs(work, exist_ok=True)
    threads = os.environ.get("QM_THREADS", "1")
    print(f"{'scenario':12} {'bytes est':>12} {'bytes run':>12} {'ratio':>6} {'s est':>6} {'s run':>7} {'ratio':>6}"
          f" {'left@50% est':>12} {'left real':>9}")
    for n in names:
        par, extra = SCENARIOS[n]
        path = os.path.join(work, n + ".par")
        open(path, "w").write(par)
        out = os.path.join(work, "out-" + n)
        shutil.rmtree(out, ignore_errors=True)
        opts = ["--threads", threads] + extra.split()
        check = subprocess.run([binary, "--check"] + opts + [path], capture_output=True, text=True).stdout
        est_bytes, est_s = parse_check(check)
        wall, seen = run_with_progress([binary, "--quiet", "--outdir", out] + opts + [path])
        written = folder_bytes(out)
        half = next(((t, s, left) for t, s, left in seen if s >= 0.5), None)
        left_est, left_real = (half[2], wall - half[0]) if half else (float("nan"), float("nan"))
        print(f"{n:12} {est_bytes:12.4g} {written:12.4g} {est_bytes / written:6.3f} {est_s:6.0f} {wall:7.1f}"
              f" {est_s / wall:6.2f} {left_est:12.0f} {left_real:9.1f}")


if __name__ == "__main__":
    main()
