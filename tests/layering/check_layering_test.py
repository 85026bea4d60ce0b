#!/usr/bin/env python3
"""The layering check on small trees of its own, each configured with cmake: each
breach it exists to catch fails it, naming the file or target, and the tree
without a breach passes.

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
| `low/` | `dt_low` | — | — |
| `net/` | `dt_net` | `low/` | `CURL::libcurl` |
| `core/` | `dt_core` | `low/` | `Qt6::Core` |
| `high/` | `dt_high`, `prog` | `low/`, `net/`, `core/` | — |

## Next section
"""

ROOT = """cmake_minimum_required(VERSION 3.25)
project(tree LANGUAGES CXX)
find_package(CURL REQUIRED)
find_package(Qt6 REQUIRED COMPONENTS Core)
add_library(dt_warnings INTERFACE)
{extra}foreach(dir low net core high tests)
  add_subdirectory(${{dir}})
endforeach()
"""

TREE = {
    "docs/architecture.md": PAGE,
    "CMakeLists.txt": ROOT.format(extra=""),
    "low/CMakeLists.txt": "add_library(dt_low STATIC low.cpp)\n"
                          "target_include_directories(dt_low PUBLIC ${PROJECT_SOURCE_DIR})\n"
                          "target_link_libraries(dt_low PRIVATE dt_warnings)\n",
    "low/low.h": "#pragma once\n",
    "low/low.cpp": '#include "low/low.h"\n#include <vector>\n',
    "net/CMakeLists.txt": "add_library(dt_net STATIC net.cpp)\n"
                          "target_link_libraries(dt_net PUBLIC dt_low PRIVATE CURL::libcurl)\n",
    "net/net.cpp": '#include <curl/curl.h>\n#include "low/low.h"\n',
    "core/CMakeLists.txt": "add_library(dt_core STATIC core.cpp)\n"
                           "target_link_libraries(dt_core PUBLIC dt_low Qt6::Core)\n",
    "core/core.cpp": "#include <QString>\n#include <low/low.h>\n",
    "high/CMakeLists.txt": "add_library(dt_high STATIC high.cpp)\n"
                           "target_link_libraries(dt_high PUBLIC dt_net dt_core)\n"
                           "add_executable(prog main.cpp)\n"
                           "target_link_libraries(prog PRIVATE dt_high)\n",
    "high/high.cpp": '#include "low/low.h"\n#include "local.h"\n',
    "high/main.cpp": "int main() { return 0; }\n",
    "high/local.h": "#pragma once\n",
    "tests/CMakeLists.txt": "add_executable(t t.cpp)\ntarget_link_libraries(t dt_high dt_low)\n",
    "tests/t.cpp": '#include "high/local.h"\n',
}

UPWARDS = '#include "high/local.h"\n'
# (what is broken, files changed, text the failure must hold; None: passes)
CASES = [
    ("nothing", {}, None),
    ("an include upwards", {"low/low.cpp": UPWARDS},
     'low/low.cpp:1: includes "high/local.h" from high/'),
    ("an include upwards in angle brackets", {"low/low.cpp": "#include <high/local.h>\n"},
     "low/low.cpp:1: includes <high/local.h> from high/"),
    ("an include upwards by a relative path", {"low/low.cpp": '#include "../high/local.h"\n'},
     'low/low.cpp:1: includes "../high/local.h" from high/'),
    ("an include upwards in a .hpp", {"low/x.hpp": UPWARDS}, "low/x.hpp:1: includes"),
    ("an include upwards in a .cc", {"low/x.cc": UPWARDS}, "low/x.cc:1: includes"),
    ("an include upwards in a .inc", {"low/x.inc": UPWARDS}, "low/x.inc:1: includes"),
    ("an include from no folder of the table", {"high/high.cpp": '#include "tests/t.cpp"\n'},
     "from tests/t.cpp, which lies in no folder"),
    ("an include no folder holds", {"high/high.cpp": '#include "elsewhere/x.h"\n'},
     'includes "elsewhere/x.h", which no include folder'),
    ("curl outside the row that names it", {"low/low.cpp": "#include <curl/curl.h>\n"},
     "low/low.cpp:1: includes <curl/curl.h> (curl,"),
    ("Qt Core reached through a link", {"high/high.cpp": "#include <QString>\n"},
     "high/high.cpp:1: includes <QString> (QtCore,"),
    ("a link upwards", {"low/CMakeLists.txt": TREE["low/CMakeLists.txt"] +
                        "target_link_libraries(dt_low PUBLIC dt_high)\n"},
     "dt_low links dt_high from high/"),
    ("an outside library the row does not name",
     {"high/CMakeLists.txt": TREE["high/CMakeLists.txt"] +
      "target_link_libraries(dt_high PRIVATE\n  CURL::libcurl)\n"},
     "dt_high links CURL::libcurl, an outside library"),
    ("a link_libraries() in the root",
     {"CMakeLists.txt": ROOT.format(extra="link_libraries(CURL::libcurl)\n")},
     "dt_low links CURL::libcurl, an outside library"),
    ("a link added in tests/",
     {"tests/CMakeLists.txt": TREE["tests/CMakeLists.txt"] +
      "target_link_libraries(dt_net PRIVATE dt_core)\n"}, "dt_net links dt_core from core/"),
    ("a source added in tests/",
     {"tests/CMakeLists.txt": TREE["tests/CMakeLists.txt"] +
      "target_sources(dt_low PRIVATE ${PROJECT_SOURCE_DIR}/high/high.cpp)\n"},
     "dt_low compiles high/high.cpp"),
    ("a library folder two levels deep without a row",
     {"low/CMakeLists.txt": TREE["low/CMakeLists.txt"] + "add_subdirectory(sub)\n",
      "low/sub/CMakeLists.txt": "add_library(dt_sub STATIC s.cpp)\n", "low/sub/s.cpp": ""},
     "low/sub/ builds dt_sub but has no row"),
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
            if expected is None and run.returncode != 0:
                print(f"FAIL {name}: a tree without a breach failed:\n{output}")
                failures += 1
            elif expected is not None and (run.returncode != 1 or expected not in output):
                print(f"FAIL {name}: expected a failure with {expected!r}, got "
                      f"exit {run.returncode}:\n{output}")
                failures += 1
            else:
                print(f"ok   {name}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
