#!/usr/bin/env python3
"""The service's data folder check against folders planted from Linux: links, foreign
owners and hard links that Windows code cannot make under Wine. Each case gets a
private ProgramData folder, handed to tavroHelper.exe through cmd (a Windows parent
passes its own environment), so no service and no prefix-wide folder is touched.

usage: data_folder_e2e.py WINE_EXEC BIN_DIR SCRATCH_PARENT
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

WINE_EXEC = BIN = SCRATCH = None
NOBODY = 65534
LISTED = ["service.log", "service.log.1", "lock-agent.log", "driver.log"]


def win(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_in(program_data, program, *args):
    """Runs a program of the build with ProgramData set; returns (exit code, stdout)."""
    # No quotes inside: Wine would escape them in a way cmd does not read (the paths of
    # the build tree hold no blanks).
    line = f'set ProgramData={win(program_data)}&& {win(os.path.join(BIN, program))} {" ".join(args)}'
    with tempfile.TemporaryFile() as out:
        code = subprocess.run([WINE_EXEC, "cmd", "/c", line], stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.DEVNULL, timeout=120).returncode
        out.seek(0)
        return code, out.read().decode(errors="replace")


def snapshot(root):
    """Every file under root with its bytes (links are not followed)."""
    files = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            p = os.path.join(dirpath, name)
            rel = os.path.relpath(p, root)
            if os.path.islink(p):
                files[rel] = ("link", os.readlink(p))
            elif os.path.isfile(p):
                with open(p, "rb") as f:
                    files[rel] = ("file", f.read())
            else:
                files[rel] = ("dir", None)
    return files


class DataFolderTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="service-data-", dir=SCRATCH)
        self.pd = os.path.join(self.root, "programdata")
        self.victim = os.path.join(self.root, "victim")
        os.makedirs(self.pd)
        os.makedirs(self.victim)
        for name, data in (("a.txt", b"victim bytes"), ("b.bin", bytes(range(256)))):
            with open(os.path.join(self.victim, name), "wb") as f:
                f.write(data)
        self.folder = os.path.join(self.pd, "tavro")

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def service_check(self):
        code, _ = run_in(self.pd, "tavroHelper.exe", "--service")
        self.assertEqual(code, 1)  # not started by the service manager

    def assert_victim_unchanged(self, before):
        self.assertEqual(snapshot(self.victim), before)

    def test_nothing_there_makes_the_folder_and_its_log(self):
        self.service_check()
        self.assertTrue(os.path.isdir(self.folder) and not os.path.islink(self.folder))
        self.assertTrue(os.path.isfile(os.path.join(self.folder, "service.log")))

    def test_foreign_owned_folder_is_moved_aside_with_its_files(self):
        os.makedirs(self.folder)
        with open(os.path.join(self.folder, "planted.txt"), "wb") as f:
            f.write(b"planted")
        os.chown(self.folder, NOBODY, NOBODY)
        os.chown(os.path.join(self.folder, "planted.txt"), NOBODY, NOBODY)
        self.service_check()
        aside = [n for n in os.listdir(self.pd) if re.fullmatch(r"tavro\.untrusted-\d+", n)]
        self.assertEqual(len(aside), 1, os.listdir(self.pd))
        with open(os.path.join(self.pd, aside[0], "planted.txt"), "rb") as f:
            self.assertEqual(f.read(), b"planted")
        self.assertEqual(os.stat(self.folder).st_uid, 0)
        self.assertEqual(sorted(os.listdir(self.folder)), ["service.log"])

    def test_folder_link_to_a_victim_is_never_used(self):
        before = snapshot(self.victim)
        os.symlink(self.victim, self.folder)
        self.service_check()
        code, out = run_in(self.pd, "data_folder_probe.exe", "updates")
        self.assertIn('"trusted":false', out)
        self.assertIn('"updates":false', out)
        self.assert_victim_unchanged(before)
        self.assertEqual(os.listdir(self.pd), ["tavro"])
        self.assertEqual(os.readlink(self.folder), self.victim)

    def test_hard_linked_log_loses_that_name_and_a_fresh_log_starts(self):
        os.makedirs(self.folder)
        target = os.path.join(self.victim, "a.txt")
        os.link(target, os.path.join(self.folder, "service.log"))
        self.service_check()
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"victim bytes")
        self.assertEqual(os.stat(target).st_nlink, 1)
        log = os.path.join(self.folder, "service.log")
        self.assertTrue(os.path.isfile(log))
        self.assertEqual(os.stat(log).st_nlink, 1)

    def test_linked_listed_files_never_reach_their_victims(self):
        for name in LISTED:
            with self.subTest(name=name):
                shutil.rmtree(self.folder, ignore_errors=True)
                os.makedirs(self.folder)
                before = snapshot(self.victim)
                os.symlink(os.path.join(self.victim, "a.txt"), os.path.join(self.folder, name))
                self.service_check()
                self.assert_victim_unchanged(before)

    def test_foreign_owned_log_is_replaced(self):
        os.makedirs(self.folder)
        log = os.path.join(self.folder, "service.log")
        with open(log, "wb") as f:
            f.write(b"planted line\r\n")
        os.chown(log, NOBODY, NOBODY)
        self.service_check()
        self.assertTrue(os.path.isfile(log))
        self.assertEqual(os.stat(log).st_uid, 0)
        with open(log, "rb") as f:
            self.assertNotIn(b"planted", f.read())

    def test_updates_as_a_plain_file_becomes_a_folder(self):
        os.makedirs(self.folder)
        with open(os.path.join(self.folder, "updates"), "wb") as f:
            f.write(b"not a folder")
        code, out = run_in(self.pd, "data_folder_probe.exe", "updates")
        self.assertEqual(code, 0)
        self.assertIn('"updates":true', out)
        self.assertTrue(os.path.isdir(os.path.join(self.folder, "updates")))

    def test_updates_linked_to_a_victim_folder_is_refused(self):
        os.makedirs(self.folder)
        before = snapshot(self.victim)
        os.symlink(self.victim, os.path.join(self.folder, "updates"))
        code, out = run_in(self.pd, "data_folder_probe.exe", "updates")
        self.assertIn('"trusted":true', out)
        self.assertIn('"updates":false', out)
        self.assert_victim_unchanged(before)

    def test_rotation_never_writes_through_a_linked_old_generation(self):
        os.makedirs(self.folder)
        log = os.path.join(self.folder, "service.log")
        with open(log, "wb") as f:
            f.write(b"x" * (2 * 1024 * 1024 + 1))
        old = os.path.join(self.folder, "service.log.1")
        # The folder check deletes nothing it reaches only through a link, so the link
        # is still there when the log rotates at opening.
        before = snapshot(self.victim)
        os.symlink(os.path.join(self.victim, "a.txt"), old)
        self.service_check()
        self.assert_victim_unchanged(before)
        self.assertFalse(os.path.islink(old))
        self.assertEqual(os.path.getsize(old), 2 * 1024 * 1024 + 1)
        self.assertLess(os.path.getsize(log), 4096)


if __name__ == "__main__":
    WINE_EXEC, BIN, SCRATCH = sys.argv[1:4]
    os.makedirs(SCRATCH, exist_ok=True)
    unittest.main(argv=sys.argv[:1], verbosity=2)
