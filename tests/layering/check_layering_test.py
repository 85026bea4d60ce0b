#!/usr/bin/env python3
"""The layering check on small trees of its own: each breach it exists to catch
fails it, naming the file, and the tree without a breach passes.

    tests/layering/check_layering_test.py path/to/scripts/check-layering.py
"""

import pathlib
import subprocess
import sys
import tempfile

PAGE = """# Architecture
## Who may use whom

| Folder | Targets | May use | Outside libraries |
|---|---|---|---|
| `low/` | `dt_low` | — | `Threads::Threads` |
| `high/` | `dt_high`, `prog` | `low/` | — |

## Next section
"""

TREE = {
    "docs/architecture.md": PAGE,
    "low/CMakeLists.txt": "add_library(dt_low STATIC low.cpp)\n"
                          "target_link_libraries(dt_low PRIVATE Threads::Threads dt_warnings)\n",
    "low/low.h": "#pragma once\n",
    "low/low.cpp": '#include "low/low.h"\n#include <vector>\n',
    "high/CMakeLists.txt": "add_library(dt_high STATIC high.cpp)\n"
                           "target_link_libraries(dt_high PUBLIC dt_low)\n"
                           "add_executable(prog main.cpp)\n"
                           "target_link_libraries(prog PRIVATE dt_high)\n",
    "high/high.cpp": '#include "low/low.h"\n#include "high/local.h"\n',
    "high/local.h": "#pragma once\n",
    "tests/CMakeLists.txt": "target_link_libraries(t dt_high dt_low GTest::gtest)\n",
}

# (what is broken, files changed, text the failure must hold; None: passes)
CASES = [
    ("nothing", {}, None),
    ("an include upwards", {"low/low.cpp": '#include "high/local.h"\n'},
     'low/low.cpp:1: includes "high/local.h" from high/'),
    ("an include from no folder of the table",
     {"high/high.cpp": '#include "elsewhere/x.h"\n'}, 'includes "elsewhere/x.h"'),
    ("a link upwards", {"low/CMakeLists.txt": "add_library(dt_low STATIC low.cpp)\n"
                                              "target_link_libraries(dt_low PUBLIC dt_high)\n"},
     "dt_low links dt_high from high/"),
    ("an outside library the row does not name",
     {"high/CMakeLists.txt": TREE["high/CMakeLists.txt"] +
      "target_link_libraries(dt_high PRIVATE\n  Qt6::Widgets)\n"},
     "dt_high links Qt6::Widgets"),
    ("a library folder without a row", {"new/CMakeLists.txt": "add_library(dt_new STATIC)\n"},
     "new/ builds targets but has no row"),
    ("a cycle in the table",
     {"docs/architecture.md": PAGE.replace("| `dt_low` | — |", "| `dt_low` | `high/` |")},
     "the table allows a cycle"),
    ("a target the folder does not build",
     {"docs/architecture.md": PAGE.replace("`dt_high`, `prog`", "`dt_high`, `tool`")},
     "high/ is said to build tool"),
]


def main():
    checker = sys.argv[1]
    failures = 0
    for name, changes, expected in CASES:
        with tempfile.TemporaryDirectory() as folder:
            root = pathlib.Path(folder)
            for path, text in {**TREE, **changes}.items():
                (root / path).parent.mkdir(parents=True, exist_ok=True)
                (root / path).write_text(text, encoding="utf-8")
            run = subprocess.run([sys.executable, checker, str(root)], capture_output=True,
                                 text=True)
            output = run.stdout + run.stderr
            passed = run.returncode == 0
            if expected is None and not passed:
                print(f"FAIL {name}: a tree without a breach failed:\n{output}")
                failures += 1
            elif expected is not None and (passed or expected not in output):
                print(f"FAIL {name}: expected a failure with {expected!r}, got "
                      f"exit {run.returncode}:\n{output}")
                failures += 1
            else:
                print(f"ok   {name}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
