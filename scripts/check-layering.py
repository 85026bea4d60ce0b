#!/usr/bin/env python3
"""Checks the libraries' includes, sources and links against the table of who
may use whom in docs/architecture.md (section "Who may use whom"), the one place
the rule is written down.

    scripts/check-layering.py [source-root [build-tree]]

The targets, their folders, sources, include folders and links come from CMake
itself: the tree is configured once into a temporary folder, with the file API's
code model and tool chains queried and the link graph written by --graphviz, so
a link or a source added anywhere (the root's link_libraries(), a
target_link_libraries() or target_sources() in tests/) counts for the target it
lands on. The build tree, when given, lends its options (DT_*, BUILD_TESTING,
the compiler, the generator and cmake itself) so the check sees the
configuration ctest runs; without it, $CMAKE (else cmake on the PATH) configures
with the project's defaults.

For every folder in the table:
- each target CMake defines there is in its row, and each target of the row exists;
- each source of its targets lies in the folder itself (or was generated);
- each direct link is one of the folder's targets, the target of a folder its row
  allows, an outside library its row names, or dt_warnings (the warning flags);
- each #include, "..." or <...>, in any C or C++ file of the folder, resolved as the
  compiler does (the file's own folder for "...", then the target's include
  folders, then the compiler's), names a file of the folder, of an allowed folder,
  of the system, or of an outside library its row names (OUTSIDE_HEADERS).
Any other folder that builds a library or program needs a row, and the table may
allow no cycle. Exits 1 with one line per breach, 0 when everything agrees, 2 when
the check cannot run.
"""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

PAGE = "docs/architecture.md"
SECTION = "## Who may use whom"
# Folders that hold no library of the product: they may use every library.
NOT_LAYERED = {"tests", "bench", "fuzz", "packaging", "scripts", "docs"}
# Defined in the root and linked by every target of the product for its compiler
# warnings; it carries flags, no code.
WARNING_FLAGS = "dt_warnings"
BUILT_TYPES = {"EXECUTABLE", "STATIC_LIBRARY", "SHARED_LIBRARY", "MODULE_LIBRARY",
               "OBJECT_LIBRARY", "INTERFACE_LIBRARY"}
SOURCE_SUFFIXES = {".c", ".cc", ".cpp", ".cxx", ".c++", ".h", ".hh", ".hpp", ".hxx", ".h++",
                   ".inc", ".inl", ".ipp", ".tpp"}

# Which header families an outside library of a row makes available. A header
# is of a family when its resolved path matches the family's pattern; a header
# of no family (the C and C++ libraries, POSIX) is everyone's.
HEADER_FAMILIES = {
    "QtCore": r"/qt6/QtCore/", "QtGui": r"/qt6/QtGui/", "QtWidgets": r"/qt6/QtWidgets/",
    "QtNetwork": r"/qt6/QtNetwork/", "QtTest": r"/qt6/QtTest/", "QtDBus": r"/qt6/QtDBus/",
    "QtOther": r"/qt6/Qt\w+/",
    "curl": r"/curl/[^/]+$", "sqlite3": r"/sqlite3(ext)?\.h$",
    "xlsxwriter": r"/xlsxwriter(\.h$|/)", "httplib": r"/httplib\.h$",
}
OUTSIDE_HEADERS = {
    "Qt6::Core": {"QtCore"},
    "Qt6::Gui": {"QtGui", "QtCore"},
    "Qt6::Widgets": {"QtWidgets", "QtGui", "QtCore"},
    "Qt6::Network": {"QtNetwork", "QtCore"},
    "Qt6::Test": {"QtTest", "QtCore"},
    "Qt6::DBus": {"QtDBus", "QtCore"},
    "CURL::libcurl": {"curl"},
    "PkgConfig::SQLITE3": {"sqlite3"},
    "SQLite::SQLite3": {"sqlite3"},
    "PkgConfig::XLSXWRITER": {"xlsxwriter"},
    "PkgConfig::HTTPLIB": {"httplib"},
}
INCLUDE = re.compile(r'\s*#\s*include\s*(?:"([^"]+)"|<([^>]+)>|(.*))')


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


def build_options(build):
    """The cache entries of a configured build tree that decide what is built."""
    cache = build / "CMakeCache.txt"
    if not cache.is_file():
        fail_early(f"{build} is no configured build tree (no CMakeCache.txt)")
    options = []
    for line in cache.read_text(encoding="utf-8", errors="replace").splitlines():
        match = re.match(r"([A-Za-z_][A-Za-z0-9_]*):([A-Z]+)=(.*)$", line)
        if not match:
            continue
        name, kind, value = match.groups()
        if name == "CMAKE_COMMAND":
            os.environ["CMAKE"] = value  # the cmake that configured it configures the copy
        elif name == "CMAKE_GENERATOR":
            options += ["-G", value]
        elif name.startswith("DT_") or name in ("BUILD_TESTING", "CMAKE_CXX_COMPILER",
                                                   "CMAKE_BUILD_TYPE", "CMAKE_MAKE_PROGRAM"):
            options.append(f"-D{name}:{kind}={value}")
    return options


def configure(root, options, scratch):
    """Configures root into scratch; returns (code model, tool chains, graphviz text)."""
    build = scratch / "build"
    query = build / ".cmake/api/v1/query/client-check-layering"
    query.mkdir(parents=True)
    (query / "codemodel-v2").write_text("")
    (query / "toolchains-v1").write_text("")
    if not any(o == "-G" for o in options) and shutil.which("ninja"):
        options = ["-G", "Ninja"] + options
    dot = scratch / "links.dot"
    run = subprocess.run([os.environ.get("CMAKE", "cmake"), f"--graphviz={dot}", "-S", str(root), "-B", str(build)]
                         + options, capture_output=True, text=True)
    if run.returncode != 0:
        fail_early(f"cmake could not configure {root}:\n{run.stdout}{run.stderr}")
    reply = build / ".cmake/api/v1/reply"
    index = json.loads(max(reply.glob("index-*.json")).read_text())
    responses = index["reply"]["client-check-layering"]

    def load(name):
        return json.loads((reply / responses[name]["jsonFile"]).read_text())

    model, chains = load("codemodel-v2"), load("toolchains-v1")
    targets = []
    for entry in model["configurations"][0]["targets"]:
        target = json.loads((reply / entry["jsonFile"]).read_text())
        if target["type"] in BUILT_TYPES:
            targets.append(target)
    implicit = []
    for chain in chains["toolchains"]:
        implicit += chain["compiler"].get("implicit", {}).get("includeDirectories", [])
    return targets, implicit, dot.read_text(encoding="utf-8")


def graph_links(dot_text):
    """name -> [names it links directly], from the --graphviz output."""
    labels = dict(re.findall(r'"(node\d+)" \[ label = "([^"]*)"', dot_text))
    links = {}
    for source, target in re.findall(r'"(node\d+)" -> "(node\d+)"', dot_text):
        if source != target:
            links.setdefault(labels[source], []).append(labels[target])
    return links


def owner_of(path, rows):
    """The table folder a path relative to the root lies in (the longest), or None."""
    best = None
    for folder in rows:
        if (path == folder or path.startswith(folder + "/")) and \
                (best is None or len(folder) > len(best)):
            best = folder
    return best


def check_table(root, rows):
    problems = []
    for folder, row in rows.items():
        if not (root / folder / "CMakeLists.txt").is_file():
            problems.append(f"{PAGE}: the table names {folder}/, which has no CMakeLists.txt")
        for used in row["uses"]:
            if used not in rows:
                problems.append(f"{PAGE}: {folder}/ may use {used}/, which is not in the table")
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


def may_use(folder, row):
    return (", ".join(u + "/" for u in row["uses"]) or "no other folder") + \
        f" ({PAGE}, {SECTION[3:]!r})"


def check_targets(rows, targets):
    """Every built target in a row of its folder, every row's target built."""
    problems = []
    defined = {}
    for target in targets:
        folder = target["paths"]["source"]
        name = target["name"]
        defined.setdefault(folder, set()).add(name)
        if folder.split("/")[0] in NOT_LAYERED or (folder == "." and name == WARNING_FLAGS):
            continue
        if folder not in rows:
            problems.append(f"{PAGE}: {folder}/ builds {name} but has no row in the table")
        elif name not in rows[folder]["targets"]:
            problems.append(f"{PAGE}: {folder}/ builds {name}, which its row does not list")
    for folder, row in rows.items():
        if folder not in defined:
            continue  # not part of this configuration (a shell-less build)
        for listed in row["targets"]:
            if listed not in defined[folder]:
                problems.append(f"{PAGE}: {folder}/ is said to build {listed}, "
                                f"which {folder}/CMakeLists.txt does not define")
    return problems


def check_sources(rows, targets):
    problems = []
    for target in targets:
        folder = target["paths"]["source"]
        if folder not in rows:
            continue
        for source in target.get("sources", []):
            path = source["path"]
            if source.get("isGenerated") or owner_of(path, rows) == folder:
                continue
            problems.append(f"{target['name']} compiles {path}, which lies outside "
                            f"{folder}/; a library builds only its own folder's files")
    return problems


def check_links(rows, targets, links):
    problems = []
    target_folder = {t["name"]: t["paths"]["source"] for t in targets}
    for name, folder in sorted(target_folder.items()):
        if folder not in rows:
            continue
        row = rows[folder]
        allowed = {t for u in row["uses"] for t in rows[u]["targets"]}
        for linked in links.get(name, []):
            if linked in row["targets"] or linked == WARNING_FLAGS or linked in allowed \
                    or linked in row["outside"]:
                continue
            where = f"{folder}/: {name} links {linked}"
            if linked in target_folder:
                problems.append(f"{where} from {target_folder[linked]}/, but {folder}/ may "
                                f"use {may_use(folder, row)}")
            else:
                problems.append(f"{where}, an outside library the row of {folder}/ in {PAGE} "
                                f"does not name")
    return problems


def header_family(path):
    for family, pattern in HEADER_FAMILIES.items():
        if re.search(pattern, path):
            return family
    return None


def resolve(name, quoted, source, folders):
    """The file an include names, searched as the compiler does, or None."""
    places = ([source.parent] if quoted else []) + folders
    for place in places:
        candidate = pathlib.Path(place) / name
        if candidate.is_file():
            return pathlib.Path(os.path.normpath(candidate))
    return None


def check_includes(root, rows, targets, implicit):
    problems = []
    includes = {}  # folder -> include folders of its targets, in order
    for target in targets:
        found = includes.setdefault(target["paths"]["source"], [])
        for group in target.get("compileGroups", []):
            for entry in group.get("includes", []):
                if entry["path"] not in found:
                    found.append(entry["path"])
    everywhere = [p for found in includes.values() for p in found]
    for folder, row in rows.items():
        if not (root / folder).is_dir():
            continue
        own = includes.get(folder, [str(root)]) + implicit
        allowed_folders = set(row["uses"]) | {folder}
        families = set().union(*(OUTSIDE_HEADERS.get(o, set()) for o in row["outside"]))
        for source in sorted((root / folder).rglob("*")):
            if source.suffix not in SOURCE_SUFFIXES or not source.is_file():
                continue
            relative = source.relative_to(root).as_posix()
            if owner_of(relative, rows) != folder:
                continue  # a folder of its own row, below this one
            text = source.read_text(encoding="utf-8", errors="replace")
            for number, line in enumerate(text.splitlines(), 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                quoted, angled, other = match.groups()
                spelled = f'"{quoted}"' if quoted else f"<{angled}>"
                where = f"{relative}:{number}: includes {spelled}"
                if other is not None:
                    problems.append(f"{relative}:{number}: an include the check cannot "
                                    f"resolve: {line.strip()}")
                    continue
                found = resolve(quoted or angled, bool(quoted), source, own)
                if found is None:
                    # Not reachable from here: what would it be, reached another way?
                    found = resolve(quoted or angled, bool(quoted), source,
                                    everywhere + implicit)
                if found is None:
                    problems.append(f"{where}, which no include folder of {folder}/ holds")
                    continue
                try:
                    inside = found.relative_to(root).as_posix()
                except ValueError:
                    inside = None
                if inside is not None:
                    owner = owner_of(inside, rows)
                    if owner is None:
                        problems.append(f"{where} from {inside}, which lies in no folder of "
                                        f"the table in {PAGE}")
                    elif owner not in allowed_folders:
                        problems.append(f"{where} from {owner}/, but {folder}/ may use "
                                        f"{may_use(folder, row)}")
                    continue
                family = header_family(found.as_posix())
                if family is not None and family not in families:
                    named = ", ".join(row["outside"]) or "none"
                    problems.append(f"{where} ({family}, {found}), but the outside libraries "
                                    f"of {folder}/ in {PAGE} are: {named}")
    return problems


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    options = build_options(pathlib.Path(sys.argv[2])) if len(sys.argv) > 2 else []
    rows = read_table(root)
    with tempfile.TemporaryDirectory(prefix="check-layering-") as scratch:
        targets, implicit, dot_text = configure(root, options, pathlib.Path(scratch))
    problems = check_table(root, rows)
    problems += check_targets(rows, targets)
    problems += check_sources(rows, targets)
    problems += check_links(rows, targets, graph_links(dot_text))
    problems += check_includes(root, rows, targets, implicit)
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
