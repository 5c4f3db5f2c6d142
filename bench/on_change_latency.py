#!/usr/bin/env python3
"""Latency of a report on change: from the source's last write to the new
output file in place.

  bench/on_change_latency.py [--runs R] [--rows N[,N...]] [--bin PROGRAM] [--writer PATH]

For each row count (default 300 and 200,000) starts `PROGRAM --unattended`
on a schedule of one report (every 60 minutes, Report On Change01=Yes) that
writes all rows to a delimited file, lets its first run pass, then R times
(default 20) puts a new version of Vesk.mdb in place as an editor saves it
(a copy written beside it, then renamed onto it) and waits for the output
file to be replaced. The last write is the rename. Prints, per row count,
the median latency, the median of the report's own time (the "in S s" of
its summary line), the median of each run's latency less its report's
time (the quiet wait of 2 s and the wake-up), and the runs beyond one per
change (none expected).
"""
import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SUMMARY = re.compile(r"Bench: (\d+) organizations? written to out\.csv in ([0-9.]+) s")


def find(path, name):
    if os.access(path, os.X_OK):
        return path
    found = shutil.which(name)
    if not found:
        sys.exit(f"{name} not found: build it or name it")
    return found


def output_id(path):
    try:
        st = os.stat(path)
        return (st.st_ino, st.st_mtime_ns)
    except FileNotFoundError:
        return None


def summaries(log):
    with open(log, encoding="utf-8", errors="replace") as f:
        return SUMMARY.findall(f.read())


def wait_for(condition, what, timeout=120):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            sys.exit(f"timed out waiting for {what}")
        time.sleep(0.002)


def bench(program, writer, rows, runs):
    folder = tempfile.mkdtemp(prefix="tavrin-onchange-")
    try:
        versions = []
        for seed, name in ((1, "Vesk.mdb"), (2, "a.mdb"), (3, "b.mdb")):
            subprocess.run([writer, os.path.join(folder, name), "--sample", str(rows), "--seed", str(seed)],
                           check=True, stdout=subprocess.DEVNULL)
            versions.append(os.path.join(folder, name))
        with open(os.path.join(folder, "TavrinReport.ini"), "w") as f:
            f.write("[Report Schedule]\nReport Name01=Bench\nMinutes Between Reports01=60\n"
                    "Report On Change01=Yes\n[Bench]\nOutput=CSV\nOutputFilename=out.csv\n"
                    "ReportField1=Organization Name\nReportField2=Status\n")
        log = os.path.join(folder, "log")
        out = os.path.join(folder, "out.csv")
        with open(log, "w") as err:
            proc = subprocess.Popen([program, "--unattended"], cwd=folder, stdout=subprocess.DEVNULL, stderr=err)
        try:
            wait_for(lambda: len(summaries(log)) >= 1, "the first run")
            latencies, own = [], []
            for i in range(runs):
                incoming = os.path.join(folder, "incoming.tmp")
                shutil.copyfile(versions[1 + i % 2], incoming)
                before = output_id(out)
                done = len(summaries(log))
                start = time.monotonic()
                os.rename(incoming, os.path.join(folder, "Vesk.mdb"))
                wait_for(lambda: output_id(out) != before, "the new output")
                latencies.append(time.monotonic() - start)
                wait_for(lambda: len(summaries(log)) > done, "the run's summary")
                own.append(float(summaries(log)[done][1]))
                time.sleep(0.5)
        finally:
            proc.send_signal(signal.SIGTERM)
            proc.wait()
        extra = len(summaries(log)) - 1 - runs
        lat, rep = statistics.median(latencies), statistics.median(own)
        waited = statistics.median(l - o for l, o in zip(latencies, own))
        print(f"{rows:>8} rows  {runs} runs  latency median {lat:.3f} s (min {min(latencies):.3f}, "
              f"max {max(latencies):.3f})  report median {rep:.3f} s  latency minus report, median "
              f"{waited:.3f} s  extra runs {extra}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--rows", default="300,200000")
    parser.add_argument("--bin", default=os.path.join(HERE, "../build/app/tavrin-report"))
    parser.add_argument("--writer", default=os.path.join(HERE, "../build/tools/tavrin-mdb-write"))
    args = parser.parse_args()
    program = find(args.bin, "tavrin-report")
    writer = find(args.writer, "tavrin-mdb-write")
    for rows in (int(r) for r in args.rows.split(",")):
        bench(program, writer, rows, args.runs)


if __name__ == "__main__":
    main()
