#!/usr/bin/env python3
"""Checks the documentation against the code where the two can drift apart
unnoticed:

- every Chinese text the docs quote (README.md, CONTRIBUTING.md, docs/*.md and
  the manual page) is in the code: in a string literal of the program's
  folders, decoded from its GBK escapes, or in the list of words the docs may
  use that the program never prints (DOC_ONLY, each with its reason);
- the status keys the manual page lists, and those of the README's example
  answer, are exactly the keys the status answer prints;
- the labels docs/hacking.md names, and the test binaries it gives each label,
  are exactly CMake's (tests/**/CMakeLists.txt).

    scripts/check-docs.py [source-root]

Exits 1 with one line per mismatch naming the text, key or label and the file
that lacks it, 0 when everything agrees.
"""

import pathlib
import re
import sys

# The program's own folders: their literals are what the window shows.
CODE_DIRS = ["text", "files", "shoppage", "collect", "results", "export", "settings", "shell"]
DOC_FILES = ["README.md", "CONTRIBUTING.md", "docs/*.md", "packaging/dovetrail.1.in"]

# Words the docs may quote that no literal holds, and why.
DOC_ONLY = {
    "文档": "the documents folder's usual name, chosen by the desktop's user-dirs",
}

# The files and functions whose literals make up the status answer.
STATUS_SOURCES = [
    ("collect/run_report.cpp", "StatusAnswer("),
    ("shell/main_window.cpp", None),
    ("shell/program_core.cpp", None),
    ("shell/single_instance.cpp", None),
]

CJK = "\u3000-\u303f\u3400-\u9fff\uf900-\ufaff\uff00-\uffef"
# A run of Chinese text; one or two blanks between Chinese characters stay in
# it (the stop button reads 停  止).
CJK_RUN = re.compile(f"[{CJK}]+(?: {{1,2}}[{CJK}]+)*")
LITERAL = re.compile(r'(?<![\w\'])(?:u8)?"((?:[^"\\\n]|\\.)*)"')
COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/", re.S)


def literal_bytes(body):
    """The bytes of one C++ string literal's body, escapes resolved."""
    out = bytearray()
    i = 0
    simple = {"n": 10, "t": 9, "r": 13, "0": 0, "\\": 92, '"': 34, "'": 39, "a": 7, "b": 8, "f": 12, "v": 11}
    while i < len(body):
        c = body[i]
        if c != "\\":
            out += c.encode("utf-8")
            i += 1
            continue
        nxt = body[i + 1] if i + 1 < len(body) else ""
        if nxt == "x":
            m = re.match(r"[0-9a-fA-F]+", body[i + 2 :])
            out.append(int(m.group(0), 16) & 0xFF if m else 0)
            i += 2 + (len(m.group(0)) if m else 0)
        elif nxt in "01234567":
            m = re.match(r"[0-7]{1,3}", body[i + 1 :])
            out.append(int(m.group(0), 8) & 0xFF)
            i += 1 + len(m.group(0))
        else:
            out.append(simple.get(nxt, ord(nxt) if nxt else 92))
            i += 2
    return bytes(out)


def decode(data):
    """GBK text as the code writes it; UTF-8 source text (Qt strings) as such."""
    try:
        return data.decode("utf-8") if any(b >= 0x80 for b in data) and _is_cjk_utf8(data) else data.decode("gb18030")
    except UnicodeDecodeError:
        return data.decode("gb18030", errors="replace")


def _is_cjk_utf8(data):
    try:
        return bool(re.search(f"[{CJK}]", data.decode("utf-8")))
    except UnicodeDecodeError:
        return False


def code_texts(source):
    """Each statement's literals, adjacent ones joined as the compiler joins them."""
    source = COMMENT.sub(" ", source)
    texts = []
    last_end, current = None, b""
    for m in LITERAL.finditer(source):
        if last_end is not None and source[last_end : m.start()].strip() == "":
            current += literal_bytes(m.group(1))
        else:
            if last_end is not None:
                texts.append(decode(current))
            current = literal_bytes(m.group(1))
        last_end = m.end()
    if last_end is not None:
        texts.append(decode(current))
    return texts


def doc_paths(root):
    for pattern in DOC_FILES:
        yield from sorted(root.glob(pattern))


def check_labels(root, problems):
    code = []
    for d in CODE_DIRS:
        for path in sorted((root / d).rglob("*")):
            if path.suffix in (".cpp", ".h"):
                code.extend(code_texts(path.read_text(encoding="utf-8", errors="replace")))
    haystack = "\n".join(code)
    for path in doc_paths(root):
        for n, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            if path.suffix == ".in":
                line = line.replace("\\-", "-").replace("\\ ", " ")
            elif line.startswith("    "):
                continue  # a code block: examples of data and code, not the program's texts
            for m in CJK_RUN.finditer(line):
                text = m.group(0)
                if text not in haystack and text not in DOC_ONLY:
                    problems.append(f"{path.relative_to(root)}:{n}: '{text}' is in no literal of the code")


def function_body(source, head):
    start = source.find(head)
    # The definition, not a declaration or a call: the first match followed by a body.
    while start >= 0 and not re.match(r"[^;{]*\{", source[start:]):
        start = source.find(head, start + 1)
    if start < 0:
        return ""
    end = source.find("\n}", start)
    return source[start : end if end >= 0 else len(source)]


def status_keys(root):
    keys = {}
    for rel, function in STATUS_SOURCES:
        # The shell's keys may be added in either of its files; one without
        # any (or absent) adds nothing.
        if not (root / rel).exists():
            continue
        source = COMMENT.sub(" ", (root / rel).read_text(encoding="utf-8"))
        if function:
            source = function_body(source, function)
        for m in LITERAL.finditer(source):
            key = re.fullmatch(r" ?([a-z_]+)=", m.group(1))
            if key and (function or m.group(1).startswith(" ") or rel.endswith("single_instance.cpp")):
                keys.setdefault(key.group(1), rel)
    return keys


def man_status_keys(man):
    """The bold words of the manual's STATUS SOCKET section up to its example."""
    section = re.search(r"^\.SH STATUS SOCKET\n(.*?)^(?:For example|\.SH)", man, re.S | re.M)
    if not section:
        return None
    words = set()
    for line in section.group(1).splitlines():
        parts = re.findall(r'"[^"]*"|\S+', line)
        if not parts or parts[0] not in (".B", ".BR"):
            continue
        args = [p.strip('"') for p in parts[1:]]
        # .BR alternates bold and roman; .B is bold throughout.
        for w in args if parts[0] == ".B" else args[::2]:
            w = w.strip(" ,()")
            if re.fullmatch(r"[a-z_]+", w):
                words.add(w)
    return words


def check_status(root, problems):
    keys = status_keys(root)
    man_path = root / "packaging/dovetrail.1.in"
    man = man_path.read_text(encoding="utf-8")
    listed = man_status_keys(man)
    if listed is None:
        problems.append(f"{man_path.relative_to(root)}: no STATUS SOCKET section")
        return
    state_names = set(re.findall(r'return "([a-z]+)";', (root / "collect/collection_run.cpp").read_text(encoding="utf-8")))
    # The state's values and the request itself are bold there too.
    listed -= state_names | {"status"}
    for key, rel in keys.items():
        if key not in listed:
            problems.append(f"packaging/dovetrail.1.in: status key '{key}' (printed by {rel}) is not listed")
    for key in sorted(listed - set(keys)):
        problems.append(f"packaging/dovetrail.1.in: status key '{key}' is listed but the status answer has no such key")
    readme = (root / "README.md").read_text(encoding="utf-8")
    example = re.search(r"^ {4}(state=\S+(?: [a-z_]+=\S*)*)$", readme, re.M)
    if example:
        shown = [kv.split("=")[0] for kv in example.group(1).split()]
        for key, rel in keys.items():
            if key not in shown:
                problems.append(f"README.md: the example status answer lacks '{key}' (printed by {rel})")
        for key in shown:
            if key not in keys:
                problems.append(f"README.md: the example status answer has '{key}', which the status answer never prints")


def cmake_labels(root):
    """{test binary or test name: set of labels} for every test CMake registers."""
    tests = {}
    for path in sorted((root / "tests").rglob("CMakeLists.txt")):
        text = re.sub(r"#[^\n]*", "", path.read_text(encoding="utf-8"))
        for m in re.finditer(r"\b(dt_add_test|gtest_discover_tests)\(\s*([\w.${}]+)([^)]*)\)", text):
            labels = re.search(r"\bLABELS\s+\"?([\w;]+)", m.group(3))
            tests.setdefault(m.group(2), set()).update(labels.group(1).split(";") if labels else [])
        for m in re.finditer(r"\badd_test\(\s*NAME\s+([\w.${}]+)", text):
            tests.setdefault(m.group(1), set())
        for m in re.finditer(r"\bset_tests_properties\(\s*([\w.${}]+)[^)]*?\bLABELS\s+\"?([\w;]+)", text):
            tests.setdefault(m.group(1), set()).update(m.group(2).split(";"))
    return tests


def check_test_labels(root, problems):
    tests = cmake_labels(root)
    by_label = {}
    for name, labels in tests.items():
        for label in labels:
            by_label.setdefault(label, set()).add(name)
    guide = (root / "docs/hacking.md").read_text(encoding="utf-8")
    para = re.search(r"^Labels:(.*?)(?:\n\n|\Z)", guide, re.S | re.M)
    if not para:
        problems.append("docs/hacking.md: no paragraph starting 'Labels:'")
        return
    text = " ".join(para.group(1).split())
    named = {}
    for part in re.split(r";|\.\s", text):
        m = re.match(r"\s*`(\w+)` is (.*)", part)
        if m:
            named[m.group(1)] = set(re.findall(r"`(\w+)`", m.group(2)))
    unlabelled = re.search(r"([^.;]*) carry no label", text)
    for label, binaries in sorted(by_label.items()):
        if label not in named:
            problems.append(f"docs/hacking.md: label '{label}' (tests/**/CMakeLists.txt) is not in the Labels paragraph")
            continue
        for b in sorted(binaries - named[label]):
            problems.append(f"docs/hacking.md: '{b}' carries the label '{label}' in CMake but is not named under it")
        for b in sorted(named[label] - binaries):
            problems.append(f"docs/hacking.md: '{b}' is named under the label '{label}' but CMake gives it no such label")
    for label in sorted(set(named) - set(by_label)):
        problems.append(f"docs/hacking.md: label '{label}' is named but no test in CMake carries it")
    if unlabelled:
        for b in re.findall(r"`(\w+)`", unlabelled.group(1)):
            if tests.get(b):
                problems.append(f"docs/hacking.md: '{b}' is said to carry no label but CMake gives it {sorted(tests[b])}")
            elif b not in tests:
                problems.append(f"docs/hacking.md: '{b}' is said to carry no label but CMake registers no such test")


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    problems = []
    check_labels(root, problems)
    check_status(root, problems)
    check_test_labels(root, problems)
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
