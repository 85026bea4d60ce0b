#!/usr/bin/env python3
"""Checks the libraries' includes and links against the table of who may use
whom in docs/architecture.md (section "Who may use whom"), the one place the
rule is written down.

    scripts/check-layering.py [source-root]

For every folder in the table: each `#include "..."` of its .cpp and .h files
must name a file of the folder itself or of a folder its row allows, and each
name in its CMakeLists.txt's target_link_libraries must be one of its own
targets, the target of an allowed folder, an outside library its row names,
or dt_warnings (the warning flags, no library). The table itself must list
every library folder of the tree and allow no cycle. Exits 1 with one line
per breach, 0 when everything agrees.
"""

import pathlib
import re
import sys

PAGE = "docs/architecture.md"
SECTION = "## Who may use whom"
# Folders that hold no library of the product: they may use every library.
NOT_LAYERED = {"tests", "bench", "fuzz", "packaging", "scripts", "docs"}
# Linked by every target of the product for its compiler warnings.
WARNING_FLAGS = "dt_warnings"


def fail_early(message):
    print(f"check-layering: {message}", file=sys.stderr)
    sys.exit(2)


def code_names(cell):
    """The `...` names of a table cell, in order."""
    return re.findall(r"`([^`]+)`", cell)


def read_table(root):
    """folder -> {"targets": [...], "uses": [...], "outside": [...]} from the page."""
    page = (root / PAGE).read_text(encoding="utf-8")
    start = page.find(SECTION + "\n")
    if start < 0:
        fail_early(f'{PAGE} has no section "{SECTION}"')
    rows = {}
    header_seen = False
    for line in page[start:].splitlines()[1:]:
        if line.startswith("## "):
            break
        if not line.startswith("|"):
            if header_seen and rows:
                break  # the first table of the section ends here
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if not header_seen:
            if len(cells) != 4 or not cells[0].startswith("Folder"):
                fail_early(f"{PAGE}: the table of {SECTION!r} must start with "
                           "| Folder | Targets | May use | Outside libraries |")
            header_seen = True
            continue
        if set(cells[0]) <= set("-: "):
            continue  # the alignment row
        folder = code_names(cells[0])
        if len(folder) != 1 or not folder[0].endswith("/"):
            fail_early(f"{PAGE}: a row without one `folder/` in its first cell: {line}")
        rows[folder[0].rstrip("/")] = {
            "targets": code_names(cells[1]),
            "uses": [u.rstrip("/") for u in code_names(cells[2])],
            "outside": code_names(cells[3]),
        }
    if not rows:
        fail_early(f"{PAGE}: no rows in the table of {SECTION!r}")
    return rows


def check_table(root, rows):
    problems = []
    for folder, row in rows.items():
        if not (root / folder / "CMakeLists.txt").is_file():
            problems.append(f"{PAGE}: the table names {folder}/, which has no CMakeLists.txt")
        for used in row["uses"]:
            if used not in rows:
                problems.append(f"{PAGE}: {folder}/ may use {used}/, which is not in the table")
    # Every library folder of the tree is in the table.
    for cmake in sorted(root.glob("*/CMakeLists.txt")) + sorted(root.glob("tools/*/CMakeLists.txt")):
        folder = cmake.parent.relative_to(root).as_posix()
        if folder.split("/")[0] in NOT_LAYERED or folder in rows:
            continue
        problems.append(f"{PAGE}: {folder}/ builds targets but has no row in the table")
    # Nothing points back up: the allowed uses form no cycle.
    state = {}

    def visit(folder, path):
        if state.get(folder) == "done":
            return
        if state.get(folder) == "open":
            cycle = path[path.index(folder):] + [folder]
            problems.append(f"{PAGE}: the table allows a cycle: " + " -> ".join(cycle))
            return
        state[folder] = "open"
        for used in rows.get(folder, {}).get("uses", []):
            visit(used, path + [folder])
        state[folder] = "done"

    for folder in rows:
        visit(folder, [])
    return problems


def folder_of_include(path, rows):
    """The table folder an include path lies in (the longest that fits), or None."""
    best = None
    for folder in rows:
        if path.startswith(folder + "/") and (best is None or len(folder) > len(best)):
            best = folder
    return best


def check_includes(root, folder, row, rows):
    problems = []
    allowed = set(row["uses"]) | {folder}
    for source in sorted((root / folder).rglob("*")):
        if source.suffix not in (".cpp", ".h") or not source.is_file():
            continue
        relative = source.relative_to(root).as_posix()
        text = source.read_text(encoding="utf-8", errors="replace")
        for number, line in enumerate(text.splitlines(), 1):
            match = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
            if not match:
                continue
            included = match.group(1)
            owner = folder_of_include(included, rows)
            if owner is None:
                if (source.parent / included).is_file():
                    continue  # a file beside it
                problems.append(f'{relative}:{number}: includes "{included}", which lies in '
                                f"no folder of the table in {PAGE}")
            elif owner not in allowed:
                may = ", ".join(u + "/" for u in row["uses"]) or "no other folder"
                problems.append(f'{relative}:{number}: includes "{included}" from {owner}/, '
                                f"but {folder}/ may use {may} ({PAGE}, {SECTION[3:]!r})")
    return problems


def link_calls(cmake_text):
    """(target, [linked names]) of each target_link_libraries call."""
    text = re.sub(r"#[^\n]*", "", cmake_text)
    for match in re.finditer(r"target_link_libraries\s*\(([^)]*)\)", text):
        words = match.group(1).split()
        if words:
            yield words[0], [w for w in words[1:] if w not in ("PUBLIC", "PRIVATE", "INTERFACE")]


def defined_targets(cmake_text):
    return set(re.findall(r"add_(?:library|executable)\s*\(\s*([A-Za-z0-9_]+)", cmake_text))


def check_links(root, folder, row, rows):
    problems = []
    cmake = root / folder / "CMakeLists.txt"
    text = cmake.read_text(encoding="utf-8")
    own = defined_targets(text)
    target_folder = {t: f for f, r in rows.items() for t in r["targets"]}
    allowed_targets = {t for u in row["uses"] for t in rows[u]["targets"]}
    for listed in row["targets"]:
        if listed not in own:
            problems.append(f"{PAGE}: {folder}/ is said to build {listed}, "
                            f"which {folder}/CMakeLists.txt does not define")
    for target, linked in link_calls(text):
        for name in linked:
            if name in own or name == WARNING_FLAGS or name in row["outside"]:
                continue
            if name in allowed_targets:
                continue
            where = f"{folder}/CMakeLists.txt: {target} links {name}"
            if name in target_folder:
                may = ", ".join(u + "/" for u in row["uses"]) or "no other folder"
                problems.append(f"{where} from {target_folder[name]}/, but {folder}/ may use "
                                f"{may} ({PAGE}, {SECTION[3:]!r})")
            else:
                problems.append(f"{where}, an outside library the row of {folder}/ in {PAGE} "
                                f"does not name")
    return problems


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    rows = read_table(root)
    problems = check_table(root, rows)
    for folder, row in rows.items():
        if (root / folder).is_dir():
            problems += check_includes(root, folder, row, rows)
            if (root / folder / "CMakeLists.txt").is_file():
                problems += check_links(root, folder, row, rows)
    for problem in problems:
        print(f"check-layering: {problem}")
    if problems:
        print(f"check-layering: {len(problems)} breach(es) of the layering; change the code, "
              f"or the table in {PAGE} when the rule itself changes")
        return 1
    print(f"check-layering: {len(rows)} folders agree with {PAGE}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
