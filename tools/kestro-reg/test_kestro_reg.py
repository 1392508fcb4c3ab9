#!/usr/bin/env python3
"""Tests of kestro-reg, the Linux port's settings-store editor, run as a real
program against a private store (KESTRO_REGISTRY_DIR in a temp folder).

    test_kestro_reg.py PATH_TO_KESTRO_REG
"""
import os
import stat
import subprocess
import sys
import tempfile
import unittest

TOOL = None
NOT_FOUND = "ERROR: The system was unable to find the specified registry key or value.\n"
DONE = "The operation completed successfully.\n"


class KestroRegTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.env = dict(os.environ, KESTRO_REGISTRY_DIR=self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def reg(self, *args):
        p = subprocess.run([TOOL, *args], env=self.env, capture_output=True, text=True, timeout=60)
        return p.returncode, p.stdout, p.stderr

    def ok(self, *args):
        rc, out, err = self.reg(*args)
        self.assertEqual((rc, err), (0, ""), f"kestro-reg {' '.join(args)}")
        return out

    def test_add_then_query_prints_like_reg_exe(self):
        key = r"HKCU\SOFTWARE\hollvik\Sarvo"
        self.assertEqual(self.ok("add", key, "/v", "Params", "/t", "REG_SZ", "/d", "/AUTO /INIT", "/f"), DONE)
        self.assertEqual(self.ok("add", key, "/v", "State", "/t", "REG_DWORD", "/d", "1", "/f"), DONE)
        self.assertEqual(self.ok("add", key, "/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%HOME%\\x", "/f"), DONE)
        self.assertEqual(self.ok("add", key, "/v", "Big", "/t", "REG_DWORD", "/d", "0x100", "/f"), DONE)
        self.assertEqual(
            self.ok("query", key),
            "\nHKEY_CURRENT_USER\\SOFTWARE\\hollvik\\Sarvo\n"
            "    Params    REG_SZ    /AUTO /INIT\n"
            "    State    REG_DWORD    0x1\n"
            "    Path    REG_EXPAND_SZ    %HOME%\\x\n"
            "    Big    REG_DWORD    0x100\n"
            "\n")

    def test_query_one_value_ignores_case(self):
        self.ok("add", r"HKEY_LOCAL_MACHINE\SOFTWARE\hollvik\kestro", "/v", "_KestroDataMap", "/d", "/data/", "/f")
        cases = [
            ("short root", r"HKLM\software\HOLLVIK\kestro", "_kestrodatamap"),
            ("long root in lower case", r"hkey_local_machine\SOFTWARE\hollvik\kestro\\", "_KestroDataMap"),
        ]
        for name, key, value in cases:
            with self.subTest(name):
                # The key is shown as written, the value under its stored name.
                self.assertEqual(self.ok("query", key, "/v", value),
                                 "\nHKEY_LOCAL_MACHINE\\" + key.split("\\", 1)[1].rstrip("\\") + "\n"
                                 "    _KestroDataMap    REG_SZ    /data/\n\n")

    def test_roots_are_separate_stores(self):
        self.ok("add", r"HKCU\SOFTWARE\x", "/v", "a", "/d", "1", "/f")
        self.assertEqual(self.reg("query", r"HKLM\SOFTWARE\x"), (1, "", NOT_FOUND))

    def test_missing_key_or_value(self):
        self.ok("add", r"HKCU\SOFTWARE\x", "/v", "a", "/d", "1", "/f")
        for name, args in [
            ("query missing key", ("query", r"HKCU\SOFTWARE\nothing")),
            ("query missing value", ("query", r"HKCU\SOFTWARE\x", "/v", "b")),
            ("delete missing key", ("delete", r"HKCU\SOFTWARE\nothing", "/f")),
            ("delete missing value", ("delete", r"HKCU\SOFTWARE\x", "/v", "b", "/f")),
        ]:
            with self.subTest(name):
                self.assertEqual(self.reg(*args), (1, "", NOT_FOUND))
        # None of that created anything.
        self.assertEqual(self.reg("query", r"HKCU\SOFTWARE\nothing"), (1, "", NOT_FOUND))

    def test_delete_value_and_key(self):
        key = r"HKCU\SOFTWARE\hollvik\Sarvo"
        self.ok("add", key, "/v", "Params", "/d", "/AUTO", "/f")
        self.ok("add", key, "/v", "State", "/t", "REG_DWORD", "/d", "0", "/f")
        self.assertEqual(self.ok("delete", key, "/v", "params", "/f"), DONE)
        self.assertEqual(self.ok("query", key),
                         "\nHKEY_CURRENT_USER\\SOFTWARE\\hollvik\\Sarvo\n    State    REG_DWORD    0x0\n\n")
        self.assertEqual(self.ok("delete", r"HKCU\SOFTWARE\hollvik", "/f"), DONE)
        self.assertEqual(self.reg("query", key), (1, "", NOT_FOUND))

    def test_bad_input_is_an_error(self):
        cases = [
            ("no arguments", ()),
            ("unknown operation", ("copy", r"HKCU\SOFTWARE\x")),
            ("unknown root", ("query", r"HKCR\SOFTWARE\x")),
            ("unknown type", ("add", r"HKCU\SOFTWARE\x", "/v", "a", "/t", "REG_FOO", "/d", "1", "/f")),
            ("dword not a number", ("add", r"HKCU\SOFTWARE\x", "/v", "a", "/t", "REG_DWORD", "/d", "twelve", "/f")),
            ("dword too large", ("add", r"HKCU\SOFTWARE\x", "/v", "a", "/t", "REG_DWORD", "/d", "4294967296", "/f")),
            ("/v without name", ("query", r"HKCU\SOFTWARE\x", "/v")),
            ("unknown switch", ("query", r"HKCU\SOFTWARE\x", "/s")),
            ("delete without /f", ("delete", r"HKCU\SOFTWARE\x")),
        ]
        for name, args in cases:
            with self.subTest(name):
                rc, out, err = self.reg(*args)
                self.assertEqual(rc, 1)
                self.assertTrue(err.startswith("ERROR: "), err)
        # Nothing was written by any of them.
        self.assertEqual(self.reg("query", r"HKCU\SOFTWARE\x"), (1, "", NOT_FOUND))

    def test_read_only_store_refuses_add(self):
        self.ok("add", r"HKCU\SOFTWARE\x", "/v", "a", "/d", "1", "/f")
        db = os.path.join(self.tmp.name, "user.db")
        os.chmod(db, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        rc, out, err = self.reg("add", r"HKCU\SOFTWARE\x", "/v", "a", "/d", "2", "/f")
        self.assertEqual(rc, 1)
        self.assertTrue(err.startswith("ERROR: "), err)
        self.assertIn("    a    REG_SZ    1\n", self.ok("query", r"HKCU\SOFTWARE\x"))


# Starts a write transaction on a store, changes and adds values with a page
# cache so small that the changed pages reach the file before any commit, and
# ends the process on the spot: what a writer killed mid-way leaves behind (the
# store with uncommitted pages in it and a hot journal beside it).
KILLED_WRITER = r"""
import os, sqlite3, sys
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("PRAGMA cache_size=1")
db.execute("BEGIN IMMEDIATE")
db.execute("UPDATE reg_values SET data = zeroblob(3000), type = 4")
for i in range(100):
    db.execute("INSERT INTO reg_values(key_id, name, lname, type, data) "
               "VALUES(1, ?1, ?1, 3, zeroblob(3000))", ("junk%d" % i,))
os._exit(9)
"""


def kill_writer_of(db):
    p = subprocess.run([sys.executable, "-c", KILLED_WRITER, db], capture_output=True, timeout=60)
    return p.returncode


LONG_ROOT = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER"}


class StoreFailureTest(KestroRegTest):
    def test_killed_writer_leaves_the_committed_values(self):
        for name, root, file in [("machine store", "HKLM", "machine.db"), ("user store", "HKCU", "user.db")]:
            with self.subTest(name):
                key = root + r"\SOFTWARE\hollvik\kestro"
                self.ok("add", key, "/v", "_KestroDataMap", "/d", "/srv/data", "/f")
                self.ok("add", key, "/v", "Other", "/t", "REG_DWORD", "/d", "7", "/f")
                db = os.path.join(self.tmp.name, file)
                self.assertEqual(kill_writer_of(db), 9)
                self.assertTrue(os.path.exists(db + "-journal"), "the writer left no journal")
                expected = ("\n" + LONG_ROOT[root] + r"\SOFTWARE\hollvik\kestro" +
                            "\n    _KestroDataMap    REG_SZ    /srv/data\n    Other    REG_DWORD    0x7\n\n")
                self.assertEqual(self.ok("query", key), expected)
                # A later write goes on from the committed state.
                self.ok("add", key, "/v", "Other", "/t", "REG_DWORD", "/d", "8", "/f")
                self.assertIn("Other    REG_DWORD    0x8", self.ok("query", key))

    def test_store_that_is_no_database_is_an_error_not_a_missing_value(self):
        for name, root, file in [("machine store", "HKLM", "machine.db"), ("user store", "HKCU", "user.db")]:
            with self.subTest(name):
                db = os.path.join(self.tmp.name, file)
                with open(db, "wb") as f:
                    f.write(b"this is not an SQLite database, just text" * 100)
                key = root + r"\SOFTWARE\x"
                for args in [("query", key, "/v", "a"), ("query", key),
                             ("add", key, "/v", "a", "/d", "1", "/f"), ("delete", key, "/f")]:
                    rc, out, err = self.reg(*args)
                    self.assertEqual(rc, 1, args)
                    self.assertNotEqual(err, NOT_FOUND, args)
                    self.assertTrue(err.startswith("ERROR: "), err)
                    # Windows' words for a registry file that is no registry.
                    self.assertIn("registry database is corrupt", err, args)

    def test_read_only_store_with_a_killed_writers_journal_still_reads(self):
        key = r"HKLM\SOFTWARE\hollvik\kestro"
        self.ok("add", key, "/v", "_KestroDataMap", "/d", "/srv/data", "/f")
        db = os.path.join(self.tmp.name, "machine.db")
        self.assertEqual(kill_writer_of(db), 9)
        os.chmod(db, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        self.assertIn("_KestroDataMap    REG_SZ    /srv/data", self.ok("query", key, "/v", "_KestroDataMap"))


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
