"""Runs the fuzz targets one after another for a bounded time each, against the
sanitizer build, and prints the executions of each.

    python tests/fuzz/run.py [--seconds S] [--seed N] [--targets a,b] [--build build/asan]

Every target runs in its own interpreter with libasan and libstdc++ preloaded (as in
`make test-sanitize`) behind the coverage shim (fuzz/cov_shim.c). Corpora are kept in
build/fuzz/corpus/<target> and grow from run to run; crashing inputs are written to
build/fuzz/artifacts/ and each target's libFuzzer output to build/fuzz/logs/. Exit status
1 when any target found something.
"""

import argparse
import os
import re
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
TARGETS = (
    "boxes",
    "overlap",
    "assignment",
    "kalman",
    "cost",
    "tracker",
    "mot_read",
    "mot_write",
    "mot_lsap",
    "mot_eval",
)


def compiler_file(name):
    return subprocess.run(
        ["g++", f"-print-file-name={name}"], check=True, capture_output=True, text=True
    ).stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=60, help="fuzzing time per target")
    parser.add_argument("--seed", type=int, default=0, help="libFuzzer seed (0: a fresh one each run)")
    parser.add_argument("--targets", default=",".join(TARGETS))
    parser.add_argument("--build", default="build/asan", help="directory holding the sanitizer build")
    parser.add_argument("--corpus", default="build/fuzz/corpus", help="directory of the corpora, one per target")
    parser.add_argument("--fresh", action="store_true", help="start from an empty corpus")
    args = parser.parse_args()

    build = (ROOT / args.build).resolve()
    work = ROOT / "build" / "fuzz"
    shim = work / "libcov_shim.so"
    if not shim.exists():
        sys.exit(f"run.py: {shim} is missing (make builds it)")
    if not list(build.glob("kelmora_cpp*.so")) or not list(build.glob("kelmora_tools/_native*.so")):
        sys.exit(f"run.py: no kelmora_cpp or kelmora_tools._native module in {build}")

    env = dict(os.environ)
    # The modules from the build; the kelmora_tools sources, the tests' helpers and the sequence
    # generator they import, for the targets of the command's native loops (fuzz_mot_*).
    env["PYTHONPATH"] = os.pathsep.join([str(build), str(HERE), *(str(ROOT / d) for d in ("python", "tests", "data"))])
    # The shim comes first so that its coverage callbacks win over libasan's no-op ones;
    # libasan then is not first in the list, which its link-order check must accept.
    env["LD_PRELOAD"] = " ".join([str(shim), compiler_file("libasan.so"), compiler_file("libstdc++.so")])
    env["ASAN_OPTIONS"] = ":".join(
        [
            "verify_asan_link_order=0",
            "detect_leaks=0",
            "abort_on_error=1",
            "halt_on_error=1",
            # A request too large for the allocator returns null (NumPy then raises MemoryError,
            # which the targets report) instead of ending the process without a Python trace.
            "allocator_may_return_null=1",
            "quarantine_size_mb=64",
        ]
    )
    env["UBSAN_OPTIONS"] = "halt_on_error=1:print_stacktrace=1"
    env["PYTHONHASHSEED"] = "0"

    summary = []
    failed = False
    for name in [t.strip() for t in args.targets.split(",") if t.strip()]:
        script = HERE / f"fuzz_{name}.py"
        corpus = ROOT / args.corpus / name
        artifacts = work / "artifacts"
        logs = work / "logs"
        if args.fresh and corpus.exists():
            for f in corpus.iterdir():
                f.unlink()
        for d in (corpus, artifacts, logs):
            d.mkdir(parents=True, exist_ok=True)
        log = logs / f"{name}.log"
        cmd = [
            sys.executable,
            str(script),
            str(corpus),
            f"-max_total_time={args.seconds}",
            f"-artifact_prefix={artifacts}/{name}-",
            "-timeout=20",
            "-rss_limit_mb=4096",
            "-max_len=4096",
            "-print_final_stats=1",
            f"-seed={args.seed}",
        ]
        started = time.monotonic()
        with open(log, "w") as out:
            try:
                rc = subprocess.run(
                    cmd, env=env, stdout=out, stderr=subprocess.STDOUT, cwd=ROOT, timeout=args.seconds + 300
                ).returncode
            except subprocess.TimeoutExpired:
                rc = "timeout"
        elapsed = time.monotonic() - started
        text = log.read_text(errors="replace")
        runs = re.findall(r"stat::number_of_executed_units:\s*(\d+)", text)
        done = re.findall(r"^Done (\d+) runs", text, re.M)
        executions = int((done or runs or ["0"])[-1])
        corpus_size = len(list(corpus.iterdir()))
        status = "ok" if rc == 0 and done else f"FINDING (exit {rc})"
        failed |= status != "ok"
        summary.append((name, executions, corpus_size, elapsed, status))
        print(f"fuzz_{name}: {executions} executions in {elapsed:.0f} s, corpus {corpus_size}: {status}", flush=True)
        if status != "ok":
            print(f"--- last lines of {log.relative_to(ROOT)} ---")
            print("\n".join(text.splitlines()[-60:]))

    print()
    print(f"{'target':<18}{'executions':>12}{'corpus':>8}{'seconds':>9}  result")
    for name, executions, corpus_size, elapsed, status in summary:
        print(f"{'fuzz_' + name:<18}{executions:>12}{corpus_size:>8}{elapsed:>9.0f}  {status}")
    print(f"{'total':<18}{sum(s[1] for s in summary):>12}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
