#!/usr/bin/env python3
"""The fuzz script on a machine without a working fuzzer toolchain: a skip on a
developer's machine, a failed run under CI.

    tests/scripts/run_fuzzers_test.py path/to/scripts/run-fuzzers.sh
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

# (CI, what clang++ is, exit status, word the output must hold)
CASES = [
    (None, "missing", 0, "skipped"),
    ("", "missing", 0, "skipped"),
    ("true", "missing", 1, "FAILED"),
    (None, "without libFuzzer", 0, "skipped"),
    ("true", "without libFuzzer", 1, "FAILED"),
]


def main():
    script = pathlib.Path(sys.argv[1])
    bash = shutil.which("bash")
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        for ci, clang, status, word in CASES:
            # A PATH of only the tools the script needs before it builds.
            tools = pathlib.Path(scratch, clang.replace(" ", "-"))
            if not tools.exists():
                tools.mkdir()
                for tool in ("dirname", "mktemp", "rm"):
                    (tools / tool).symlink_to(shutil.which(tool))
                if clang != "missing":
                    (tools / "clang++").write_text("#!/bin/sh\nexit 1\n")
                    (tools / "clang++").chmod(0o755)
            env = {"PATH": str(tools), "TMPDIR": scratch}
            if ci is not None:
                env["CI"] = ci
            run = subprocess.run([bash, str(script)], env=env, capture_output=True, text=True,
                                 timeout=60)
            said = run.stdout + run.stderr
            if run.returncode != status or word not in said:
                failures.append(f"CI={ci}, clang++ {clang}: exit {run.returncode}, said {said!r}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
