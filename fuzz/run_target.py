#!/usr/bin/env python3
"""Runs one fuzz target for a while and reports what it did.

Usage: run_target.py <binary> <target> <seconds> <work folder>

The work folder keeps the corpus the target grows (corpus/, reused by later runs) and
its findings (findings/); the seeds are written afresh by seeds.py on every run. Prints
"<target>: <n> executions in <s> s, corpus <c> inputs", or each finding with the path of
its reproducer; exits 1 on a finding.
"""
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FINDING_PREFIXES = ("crash-", "leak-", "timeout-", "oom-", "slow-unit-")


def main():
    binary, target, seconds, work = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    seeds, corpus, findings = (os.path.join(work, d) for d in ("seeds", "corpus", "findings"))
    for folder in (seeds, corpus, findings):
        os.makedirs(folder, exist_ok=True)
    subprocess.run([sys.executable, os.path.join(HERE, "seeds.py"), target, seeds], check=True)
    before = set(os.listdir(findings))
    log_path = os.path.join(work, "fuzz.log")
    command = [binary, "-max_total_time=%d" % seconds, "-timeout=30", "-rss_limit_mb=2048",
               "-print_final_stats=1", "-artifact_prefix=%s/" % findings, corpus, seeds]
    started = time.monotonic()
    with open(log_path, "w") as log:
        status = subprocess.run(command, stdout=log, stderr=subprocess.STDOUT).returncode
    elapsed = time.monotonic() - started
    with open(log_path, errors="replace") as log:
        text = log.read()
    executions = re.findall(r"stat::number_of_executed_units:\s*(\d+)", text)
    found = sorted(f for f in set(os.listdir(findings)) - before if f.startswith(FINDING_PREFIXES))
    print("%s: %s executions in %.0f s, corpus %d inputs" % (
        target, executions[-1] if executions else "?", elapsed, len(os.listdir(corpus))))
    for name in found:
        print("%s: FINDING %s" % (target, os.path.join(findings, name)))
    if status != 0 or found:
        summary = [l for l in text.splitlines() if "ERROR" in l or "SUMMARY" in l or
                   "broken promise" in l or "runtime error" in l]
        print("\n".join(summary[:20]) or text[-3000:])
        print("%s: exit status %d, log in %s" % (target, status, log_path))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
