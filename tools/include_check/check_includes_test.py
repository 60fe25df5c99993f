#!/usr/bin/env python3
"""The include check on small trees: what it lets through and what it stops."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_includes  # noqa: E402

TABLE = """
test-only: os/testing
os/foundation:
os/dispatch:        os/foundation
os/testing:         os/dispatch
os/ui:              os/dispatch
lib/util:           os/dispatch
eng/*:              eng/* lib/util
eng:                eng/*
eng/audiences/glue: eng/audiences lib/util
app:                eng lib/util os/ui
"""

# Files every tree has; a case adds one file with one include.
BASE = ["os/foundation/a.h", "os/dispatch/q.h", "os/testing/t.h", "os/ui/v.h", "lib/util/u.h",
        "lib/util/tests/support.h", "eng/pipeline/p.h", "eng/audiences/a.h", "eng/audiences/glue.h", "eng/api.h", "app/main.cpp"]


def run(files, table=TABLE):
    with tempfile.TemporaryDirectory() as root:
        for path, text in {**{p: "" for p in BASE}, **files}.items():
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "w") as f:
                f.write(text)
        return check_includes.check(root, table)


class IncludeCheckTest(unittest.TestCase):
    def test_cases(self):
        cases = [
            # (file, include, the problem's text or None when allowed)
            ("app/x.cpp", "os/ui/v.h", None),
            ("app/x.cpp", "os/foundation/a.h", None),  # through os/ui -> os/dispatch
            ("os/dispatch/x.cpp", "os/foundation/a.h", None),
            ("os/foundation/x.cpp", "os/dispatch/q.h", "os/foundation may not include os/dispatch"),
            ("lib/util/x.cpp", "app/main.cpp", "lib/util may not include app"),
            ("os/ui/x.h", "lib/util/u.h", "os/ui may not include lib/util"),
            ("lib/util/x.cpp", "os/ui/v.h", "lib/util may not include os/ui"),
            ("eng/pipeline/x.cpp", "eng/audiences/a.h", None),  # areas of one layer
            ("eng/pipeline/x.cpp", "eng/api.h", "eng/pipeline may not include eng"),
            ("eng/x.cpp", "eng/pipeline/p.h", None),
            # A module of one file's stem, in another module's folder: above it.
            ("eng/audiences/glue.cpp", "eng/audiences/a.h", None),
            ("eng/audiences/x.cpp", "eng/audiences/glue.h", "eng/audiences may not include eng/audiences/glue"),
            ("os/ui/tests/x_test.cpp", "os/testing/t.h", None),
            ("os/ui/x.cpp", "os/testing/t.h", "os/ui may not include os/testing"),
            ("app/tests/x_test.cpp", "lib/util/tests/support.h", None),
            ("app/x.cpp", "lib/util/tests/support.h", "a test file, from code that is not a test"),
            ("app/x.cpp", "lib/other/o.h", "in no module of the table"),
            ("lib/other/x.cpp", "os/ui/v.h", "is in no module of the table"),
            ("app/x.cpp", "stdio.h", None),
        ]
        for path, include, problem in cases:
            with self.subTest(path=path, include=include):
                found = run({path: f'#include "{include}"\n'})
                if problem is None:
                    self.assertEqual(found, [])
                else:
                    self.assertEqual(len(found), 1, found)
                    self.assertIn(problem, found[0])
                    self.assertTrue(found[0].startswith(path), found[0])

    def test_angle_includes_of_the_tree_are_checked_too(self):
        found = run({"os/foundation/x.cpp": "#include <os/ui/v.h>\n"})
        self.assertEqual(len(found), 1)

    def test_a_table_with_a_cycle_or_an_unknown_module_is_refused(self):
        for table in [TABLE + "os/x: os/y\nos/y: os/x\n", TABLE + "os/x: os/nowhere\n"]:
            with self.subTest(table=table.splitlines()[-1]):
                with self.assertRaises(check_includes.TableError):
                    run({}, table)


if __name__ == "__main__":
    unittest.main()
