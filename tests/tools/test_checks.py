#!/usr/bin/env python3
"""The repository's own checks on made-up inputs: how tools/test judges skips (from
ctest's JUnit file and the GoogleTest reports) and what check_readmes.py calls a
README that does not list its folder."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)
import check_readmes  # noqa: E402


def skipped_tests_function():
    """tools/test's skipped_tests(), cut out of the script as bash runs it."""
    with open(os.path.join(ROOT, "tools", "test")) as f:
        text = f.read()
    return re.search(r"^skipped_tests\(\) \{.*?^\}$", text, re.M | re.S).group(0)


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


JUNIT = """<?xml version="1.0" encoding="UTF-8"?><testsuite>
<testcase name="test_protocol" status="run"/>
<testcase name="test_old" status="run"/>
<testcase name="lan_list" status="notrun"><skipped/><system-out>SKIP list: 32-bit programs cannot run here</system-out></testcase>
<testcase name="look_main_window" status="notrun"><skipped/><system-out>nothing said</system-out></testcase>
</testsuite>"""
GTEST = """<?xml version="1.0" encoding="UTF-8"?><testsuites>
<testsuite name="S"><testcase name="Ran" classname="S" result="completed"/>
<testcase name="Limited" classname="S" result="skipped"><skipped message="a.cpp:1&#x0A;machine limit: no IPv6 here"/></testcase>
<testcase name="Lazy" classname="S" result="skipped"><skipped message="a.cpp:2&#x0A;needs QV_IN_NETNS=1"/></testcase>
<testcase name="Mute" classname="S" result="skipped"><skipped message="a.cpp:3&#x0A;"/></testcase>
</testsuite></testsuites>"""
# A report left by an entry that this run did not start, and one of an entry that skipped whole.
STALE = GTEST.replace('"S"', '"Old"')


class SkipsTest(unittest.TestCase):
    def judge(self, junit, reports):
        r = subprocess.run(["bash", "-c", skipped_tests_function() + '\nskipped_tests "$@"', "-", junit, "win64",
                            reports], text=True, capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        return sorted(tuple(l.split("\t")) for l in r.stdout.splitlines())

    def test_every_skip_is_listed_and_only_machine_limits_pass(self):
        with tempfile.TemporaryDirectory() as tmp:
            write(os.path.join(tmp, "junit.xml"), JUNIT)
            write(os.path.join(tmp, "reports", "test_protocol.xml"), GTEST)
            write(os.path.join(tmp, "reports", "test_old.xml"), STALE.replace("Limited", "Gone"))
            write(os.path.join(tmp, "reports", "test_gone.xml"), STALE)
            got = self.judge(os.path.join(tmp, "junit.xml"), os.path.join(tmp, "reports"))
        self.assertEqual(got, sorted([
            ("ok", "lan_list [win64]: 32-bit programs cannot run here"),
            ("bad", "look_main_window [win64]: skipped without a reason"),
            ("ok", "S.Limited [win64, test_protocol]: machine limit: no IPv6 here"),
            ("bad", "S.Lazy [win64, test_protocol]: needs QV_IN_NETNS=1"),
            ("bad", "S.Mute [win64, test_protocol]: skipped without a reason"),
            ("ok", "Old.Gone [win64, test_old]: machine limit: no IPv6 here"),
            ("bad", "Old.Lazy [win64, test_old]: needs QV_IN_NETNS=1"),
            ("bad", "Old.Mute [win64, test_old]: skipped without a reason"),
        ]))

    def test_a_run_without_its_report_fails(self):
        with tempfile.TemporaryDirectory() as tmp:
            got = self.judge(os.path.join(tmp, "missing.xml"), tmp)
        self.assertEqual([k for k, _ in got], ["noreport"])


# A folder, its files and its README; the faults the check must name.
README_CASES = [
    ("every file named, in every form", {"a.h", "a.cpp", "b.h", "b.cpp", "c_win32.cpp", "d.py", "sub/x.h"},
     "`a.h` / `.cpp`, `b` and `*_win32.cpp`, `d.py`; `sub/x.h`", []),
    ("a file left out", {"a.h", "a.cpp", "new.cpp"}, "`a.h`, `a.cpp`", ["f/README.md does not list the file f/new.cpp"]),
    ("a folder left out", {"a.h", "sub/x.h"}, "`a.h`", ["f/README.md does not list the folder f/sub"]),
    ("a file named that is gone", {"a.h"}, "`a.h`, `old.cpp`", ["f/README.md names old.cpp, which is not there"]),
    ("a neighbour's file and the program's own files", {"a.h"}, "`a.h`, `other.py`, `LOGIN.DAT`, `../g/other.py`", []),
    ("a subfolder with a README of its own lists its own", {"a.h", "sub/README.md", "sub/x.h"},
     "`a.h`, `sub/`", ["f/sub/README.md does not list the file f/sub/x.h"]),
]


class ReadmesTest(unittest.TestCase):
    def test_cases(self):
        for name, files, text, faults in README_CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as tree:
                write(os.path.join(tree, "g", "other.py"), "")
                write(os.path.join(tree, "README.md"), "`f/`, `g/`\n")
                write(os.path.join(tree, "g", "README.md"), "`other.py`\n")
                write(os.path.join(tree, "f", "README.md"), text + "\n")
                for f in files:
                    write(os.path.join(tree, "f", f), "sub README: nothing\n" if f.endswith("README.md") else "")
                self.assertEqual(check_readmes.check(tree), faults)


if __name__ == "__main__":
    unittest.main(verbosity=2)
