#!/usr/bin/env python3
"""Checks every #include of the tree against the table of allowed module
dependencies (module_dependencies.txt beside this file; its header explains
the rows).

  check_includes.py [--root TREE] [--table FILE]

Prints one line per include the table does not allow, as
  path:line: includes "what": <reason>
and exits 1 when there is any; exits 2 when the table itself is wrong (a
syntax error, an unknown module, a cycle); 0 otherwise.
"""

import argparse
import os
import re
import sys

SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp", ".inc")
TEST_FOLDERS = ("tests", "fuzz")
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]')


class TableError(Exception):
    pass


def is_test_path(path):
    return any(part in TEST_FOLDERS for part in path.split("/")[:-1])


class Table:
    """The rows of the table, resolved against the folders of one tree."""

    def __init__(self, text, root):
        self.rows = {}        # module pattern -> [entries]
        self.test_rows = {}   # module pattern -> [entries for its tests]
        self.test_only = set()
        self._parse(text)
        self.roots = sorted({pattern.split("/")[0] for pattern in self.rows})
        self.modules = self._modules(root)
        self.allowed = {m: self._closure(m) for m in self.modules}
        self._check_acyclic()

    def _parse(self, text):
        current = None
        for number, raw in enumerate(text.splitlines(), 1):
            line = raw.split("#", 1)[0].rstrip()
            if not line:
                continue
            if line[0].isspace():
                if current is None:
                    raise TableError(f"line {number}: a continuation with no row above it")
                current.extend(line.split())
                continue
            if ":" not in line:
                raise TableError(f"line {number}: not 'MODULE: MODULES': {raw.strip()}")
            head, entries = line.split(":", 1)
            head = head.strip()
            entries = entries.split()
            if head == "test-only":
                self.test_only.update(entries)
                current = None
                continue
            table = self.rows
            if head.endswith(" tests"):
                head = head[: -len(" tests")].strip()
                table = self.test_rows
            if head in table:
                raise TableError(f"line {number}: a second row for {head}")
            table[head] = current = list(entries)

    def _modules(self, root):
        """Every module the rows name: the plain rows, and for "X/*" each
        folder under X (except tests and fuzz) that exists in the tree."""
        modules = set()
        for pattern in self.rows:
            if pattern.endswith("/*"):
                parent = pattern[:-2]
                folder = os.path.join(root, parent)
                if os.path.isdir(folder):
                    for name in sorted(os.listdir(folder)):
                        if name not in TEST_FOLDERS and os.path.isdir(os.path.join(folder, name)):
                            modules.add(f"{parent}/{name}")
            else:
                modules.add(pattern)
        return modules

    def row_of(self, module):
        if module in self.rows:
            return self.rows[module]
        parent = module.rsplit("/", 1)[0]
        return self.rows.get(parent + "/*", [])

    def expand(self, entry):
        if entry.endswith("/*"):
            prefix = entry[:-1]
            found = {m for m in self.modules
                     if m.startswith(prefix) and "/" not in m[len(prefix):]} - self.test_only
            return found
        if entry not in self.modules:
            raise TableError(f"'{entry}' is not a module of the table")
        return {entry}

    def _direct(self, module):
        out = set()
        for entry in self.row_of(module):
            out |= self.expand(entry)
        out.discard(module)
        return out

    def _closure(self, module):
        seen, stack = set(), [module]
        while stack:
            for dep in self._direct(stack.pop()):
                if dep not in seen:
                    seen.add(dep)
                    stack.append(dep)
        seen.discard(module)
        return seen

    def _sibling(self, a, b):
        """Areas of one "X/*" row that lists "X/*": they may use one another."""
        pa, pb = a.rsplit("/", 1)[0], b.rsplit("/", 1)[0]
        return pa == pb and pa + "/*" in self.rows and pa + "/*" in self.rows[pa + "/*"] \
            and a not in self.rows and b not in self.rows

    def _check_acyclic(self):
        state = {}

        def visit(module, path):
            state[module] = "open"
            for dep in sorted(self._direct(module)):
                if self._sibling(module, dep):
                    continue
                if state.get(dep) == "open":
                    cycle = path[path.index(dep):] + [dep] if dep in path else [module, dep]
                    raise TableError("the table has a cycle: " + " -> ".join(cycle))
                if dep not in state:
                    visit(dep, path + [dep])
            state[module] = "done"

        for module in sorted(self.modules):
            if module not in state:
                visit(module, [module])

    def module_of(self, path):
        best = None
        stem = os.path.splitext(path)[0]
        for module in self.modules:
            holds = path.startswith(module + "/") or stem == module
            if holds and (best is None or len(module) > len(best)):
                best = module
        return best

    def may_include(self, module, target, in_test):
        if target == module:
            return True
        if target in self.test_only and not in_test:
            return False
        if in_test:
            if target in self.test_only:
                return True
            for entry in self.test_rows.get(module, []):
                extra = self.expand(entry)
                if target in extra or any(target in self.allowed[e] for e in extra):
                    return True
        return target in self.allowed[module]


def source_files(root, roots):
    for top in roots:
        base = os.path.join(root, top)
        for folder, dirs, files in os.walk(base):
            dirs.sort()
            for name in sorted(files):
                if name.endswith(SOURCE_SUFFIXES):
                    yield os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")


def check(root, table_text):
    """Returns the list of problem lines for the tree at root."""
    table = Table(table_text, root)
    problems = []
    for path in source_files(root, table.roots):
        module = table.module_of(path)
        in_test = is_test_path(path)
        if module is None:
            problems.append(f"{path}: is in no module of the table (add a row for its folder)")
            continue
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                included = match.group(1)
                if included.split("/")[0] not in table.roots:
                    continue  # a system or third-party header
                where = f'{path}:{number}: includes "{included}"'
                target = table.module_of(included)
                if target is None:
                    problems.append(f"{where}: in no module of the table")
                elif is_test_path(included) and not in_test:
                    problems.append(f"{where}: a test file, from code that is not a test")
                elif not table.may_include(module, target, in_test):
                    problems.append(f"{where}: {module} may not include {target}")
    return problems


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.normpath(os.path.join(here, "..", "..")))
    parser.add_argument("--table", default=os.path.join(here, "module_dependencies.txt"))
    args = parser.parse_args(argv)
    with open(args.table, encoding="utf-8") as f:
        text = f.read()
    try:
        problems = check(args.root, text)
    except TableError as e:
        print(f"{args.table}: {e}")
        return 2
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} include(s) break the module layers of {args.table}")
        return 1
    print("every include follows the module layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
