#!/usr/bin/env python3
"""scripts/check-docs.py on a small tree that agrees with itself, then with one
drift at a time: each must be reported by name and file."""

import pathlib
import subprocess
import sys
import tempfile

CHECK = sys.argv[1]

TREE = {
    "collect/run_report.cpp": 'std::string StatusAnswer(int p) {\n  std::string line = "state=" + S(p);\n'
    '  line += " done=" + N(p);\n  return line;\n}\nvoid Save() { text += "noshop=" + N(1); }\n',
    "collect/collection_run.cpp": 'const char* RunStateName(int s) {\n  return "idle";\n  return "running";\n}\n',
    # 开始采集 and 停  止, the way the code writes them.
    "shell/main_window.cpp": 'Button("\\xBF\\xAA\\xCA\\xBC" "\\xB2\\xC9\\xBC\\xAF");\n'
    'Stop("\\xCD\\xA3  \\xD6\\xB9");\nanswer += " rows=" + N(r);\n',
    "shell/single_instance.cpp": 'write(answer + "shows=" + n);\n',
    "README.md": "Press 开始采集; 停  止 stops.\n\n    卖家甲 in an example block\n\n"
    "    state=running done=3 rows=1 shows=0\n",
    "packaging/dovetrail.1.in": ".SH STATUS SOCKET\n.B status\npairs:\n.BR state \" (\" idle \", \" running ),\n"
    ".BR done \", \" rows\nand\n.BR shows .\nFor example:\n",
    "docs/hacking.md": "Labels: `engine` is the engine (`collect_tests`), the set TSan runs; `slow` is "
    "`layering_check_test`. The widget tests (`shell_tests`) and `layering` carry no label.\n",
    "tests/CMakeLists.txt": "add_test(NAME layering COMMAND x)\nadd_test(NAME layering_check_test COMMAND y)\n"
    "set_tests_properties(layering_check_test PROPERTIES LABELS slow)\n",
    "tests/collect/CMakeLists.txt": "dt_add_test(collect_tests SOURCES a.cpp\n  LIBS dt_collect LABELS engine)\n",
    "tests/shell/CMakeLists.txt": "dt_add_test(shell_tests SOURCES b.cpp LIBS dt_shell)\n",
}

# Each drift: the file changed, the text replaced and by what, and what the report must say.
DRIFTS = [
    ("a label the code lost", "shell/main_window.cpp", "\\xCD\\xA3  \\xD6\\xB9", "\\xCD\\xA3\\xD6\\xB9",
     "README.md:1: '停  止' is in no literal"),
    ("a label in a comment only", "shell/main_window.cpp", 'Button("\\xBF\\xAA\\xCA\\xBC" "\\xB2\\xC9\\xBC\\xAF");',
     "// 开始采集", "README.md:1: '开始采集' is in no literal"),
    ("a key the code added", "collect/run_report.cpp", '" done="', '" done=" + N(p) + " mode="',
     "status key 'mode' (printed by collect/run_report.cpp) is not listed"),
    ("a key the manual keeps", "collect/run_report.cpp", '  line += " done=" + N(p);\n', "",
     "status key 'done' is listed but the status answer has no such key"),
    ("a key the README's example lacks", "README.md", " rows=1", "",
     "README.md: the example status answer lacks 'rows' (printed by shell/main_window.cpp)"),
    ("a binary labelled in CMake only", "tests/shell/CMakeLists.txt", "dt_shell)", "dt_shell LABELS engine)",
     "'shell_tests' carries the label 'engine' in CMake but is not named under it"),
    ("a label CMake lost", "tests/collect/CMakeLists.txt", " LABELS engine", "",
     "label 'engine' is named but no test in CMake carries it"),
]


def run(tree):
    with tempfile.TemporaryDirectory() as root:
        for rel, text in tree.items():
            path = pathlib.Path(root, rel)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text, encoding="utf-8")
        done = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
        return done.returncode, done.stdout.splitlines()


failures = []
code, lines = run(TREE)
if code != 0 or lines:
    failures.append(f"the agreeing tree: exit {code}, {lines}")
for what, rel, old, new, expected in DRIFTS:
    assert old in TREE[rel], what
    code, lines = run({**TREE, rel: TREE[rel].replace(old, new)})
    if code != 1 or not any(expected in line for line in lines):
        failures.append(f"{what}: exit {code}, {lines}, wanted a line with {expected!r}")
for f in failures:
    print(f)
sys.exit(1 if failures else 0)
