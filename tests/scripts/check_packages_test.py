#!/usr/bin/env python3
"""The package check fails, naming the package and what needs it, when
scripts/setup lacks a package that the build or the tests use; and passes with
setup as it is. Each case takes one package out of a scratch copy of setup's
list; the configure traces are made once and shared by every case."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHECK = os.path.join(ROOT, "scripts", "check-packages")
SETUP = os.path.join(ROOT, "scripts", "setup")

# (package taken out of the list, text the failure must name)
CASES = [
    # Debian's FLTK CMake package stops configure without it.
    ("fluid", "package fluid is not in scripts/setup nor pulled in by it, yet configuring "
              "native uses /usr/bin/fluid"),
    # The tests' CMake package for mocks.
    ("libgmock-dev", "package libgmock-dev is not in scripts/setup"),
    # A program that only the tests start.
    ("xdotool", "package xdotool is not in scripts/setup nor pulled in by it, yet the "
                "program xdotool uses /usr/bin/xdotool"),
    # A program of a package that a bare Debian root lacks.
    ("mawk", "yet the program awk uses /usr/bin/awk"),
]


def setup_without(package, folder):
    """A copy of scripts/setup whose list lacks `package`."""
    with open(SETUP) as f:
        text = f.read()
    start = text.index("packages=(")
    end = text.index("\n)\n", start)
    lines = text[start:end].split("\n")
    out = []
    for line in lines:
        if not line.lstrip().startswith("#"):
            line = re.sub(r"(?<=\s)" + re.escape(package) + r"(?=\s|$)", "", line)
        out.append(line)
    block = "\n".join(out)
    if block == text[start:end]:
        raise AssertionError("%s is not in scripts/setup's list" % package)
    path = os.path.join(folder, "setup-" + package)
    with open(path, "w") as f:
        f.write(text[:start] + block + text[end:])
    return path


class CheckPackagesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="check-packages-test-")
        cls.traces = os.path.join(cls.tmp, "traces")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_check(self, setup):
        return subprocess.run([sys.executable, CHECK, "--setup", setup, "--traces", self.traces],
                              capture_output=True, text=True, timeout=600)

    def test_1_setup_as_it_is_passes(self):
        r = self.run_check(SETUP)
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        self.assertNotIn("is not in scripts/setup", r.stdout)

    def test_2_a_missing_package_is_named(self):
        for package, expected in CASES:
            with self.subTest(package=package):
                r = self.run_check(setup_without(package, self.tmp))
                self.assertEqual(1, r.returncode, "without %s:\n%s%s" % (package, r.stdout,
                                                                         r.stderr))
                self.assertIn(expected, r.stdout, "without %s" % package)


if __name__ == "__main__":
    unittest.main(verbosity=2)
