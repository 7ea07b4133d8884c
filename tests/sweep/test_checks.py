"""The sweep's rules on what a failed call may leave behind: each rule accepts what a run
may leave and refuses the loss it is there to catch."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scenarios"))
sys.path.insert(0, HERE)

import checks  # noqa: E402

MODULE = bytes(range(10))


def patch(size, *records):
    out = size.to_bytes(4, "little") + len(records).to_bytes(2, "little")
    for offset, data in records:
        out += offset.to_bytes(4, "little") + len(data).to_bytes(4, "little") + data
    return out


class Preload(unittest.TestCase):
    CASES = [
        # (before, after, nothing lost)
        (["a", "b", "c"], ["a", "b", "c"], True),
        (["a", "b", "c"], ["a", "b", "b", "c"], True),  # a write failed after the move up
        (["a", "b", "c"], ["a", "c"], False),  # lost
        (["a", "b", "c"], ["a", "c", "b"], False),  # reordered
        (["a", "b", "c"], ["a", "c", "b", "c"], False),  # reordered, with a duplicate
        (["a", "b"], ["a", "b", "x"], False),  # added
        (["a", "b", "a"], ["a", "b"], False),  # one of two equal entries lost
    ]

    def test_cases(self):
        for before, after, kept in self.CASES:
            with self.subTest(before=before, after=after):
                self.assertEqual(checks.check_preload(before, after) == [], kept)

    def test_module_entries_are_left_out(self):
        registry = {checks.PRELOAD_KEY: {"values": {
            "2": ("2", 1, "E0200804\0".encode("utf-16-le")),
            "1": ("1", 1, "00000409".encode("utf-16-le")),
            "10": ("10", 1, "00000804".encode("utf-16-le")),
            "x": ("x", 1, "00000404".encode("utf-16-le")),
        }}}
        self.assertEqual(checks.preload(registry, {"e0200804"}), ["00000409", "00000804"])


class Module(unittest.TestCase):
    def test_reference_patch(self):
        whole = patch(10, (1, b"ab"), (8, b"yz"))
        self.assertEqual(checks.apply_patch(MODULE, whole), b"\x00ab" + MODULE[3:8] + b"yz")
        for broken in (whole[:-1], whole + b"\x00", patch(11, (1, b"ab")), patch(10, (9, b"yz")),
                       whole[:5]):
            self.assertIsNone(checks.apply_patch(MODULE, broken))

    def test_old_new_or_patched_never_a_mix(self):
        versions = {MODULE, b"N" * 10}
        self.assertEqual(checks.check_module(b"O" * 10, b"O" * 10, versions, False, None), [])
        self.assertEqual(checks.check_module(b"O" * 10, MODULE, versions, False, None), [])
        self.assertNotEqual(checks.check_module(b"O" * 10, b"N" * 5 + b"O" * 5, versions, False, None), [])

    def test_gone_only_where_the_sequence_allows(self):
        self.assertNotEqual(checks.check_module(b"old", None, set(), False, ("MoveFileExW", 1)), [])
        self.assertEqual(checks.check_module(b"old", None, set(), False, ("CopyFileW", 1)), [])
        self.assertEqual(checks.check_module(b"old", None, set(), True, None), [])
        self.assertEqual(checks.check_module(None, None, set(), False, ("RegOpenKeyExW", 1)), [])


class Files(unittest.TestCase):
    BEFORE = {"dl/quenlix.ime": b"new", "dl/patch.big5": b"p1", "dl/font.tte": b"f2",
              "windows/fonts/font.tte": b"f1", "install.exe": b"x"}

    def test_only_the_programs_own_work_changes(self):
        done = dict(self.BEFORE, **{"windows/fonts/font.tte": b"f2", "dl/patch.big5": b"p2"})
        del done["install.exe"]
        self.assertEqual(checks.check_files(self.BEFORE, done, done), [])
        self.assertEqual(checks.check_files(self.BEFORE, self.BEFORE, done), [])

    def test_loss_is_found(self):
        for path, now in (("dl/quenlix.ime", None), ("dl/quenlix.ime", b"ne"),
                          ("windows/fonts/font.tte", b"f"), ("dl/patch.big5", b"p")):
            with self.subTest(path=path, now=now):
                after = dict(self.BEFORE)
                after.pop(path)
                if now is not None:
                    after[path] = now
                self.assertNotEqual(checks.check_files(self.BEFORE, after, self.BEFORE), [])


class Record(unittest.TestCase):
    OLD = ((1, "c:\\old"), None)

    def test_old_or_new(self):
        new = ((1, "c:\\dl"), (1, "c:\\old"))
        self.assertEqual(checks.check_record(self.OLD, new, "c:\\dl", new, False), [])
        self.assertEqual(checks.check_record(self.OLD, self.OLD, "c:\\dl", new, False), [])
        cut = ((1, "c:\\d"), None)
        self.assertNotEqual(checks.check_record(self.OLD, cut, "c:\\dl", new, False), [])
        gone = (None, None)
        self.assertNotEqual(checks.check_record(self.OLD, gone, "c:\\dl", new, False), [])
        # The new directory written without the old one kept: the earlier directory is lost.
        lost = ((1, "c:\\dl"), None)
        self.assertNotEqual(checks.check_record(self.OLD, lost, "c:\\dl", new, False), [])
        # The backup made but the new directory not written: nothing is lost.
        backed_up = ((1, "c:\\old"), (1, "c:\\old"))
        self.assertEqual(checks.check_record(self.OLD, backed_up, "c:\\dl", new, False), [])
        # A run that found no installation installs afresh and records only its own directory.
        self.assertEqual(checks.check_record(self.OLD, lost, "c:\\dl", new, False, fresh=True), [])
        self.assertEqual(checks.check_record(self.OLD, gone, "c:\\dl", gone, True), [])


class ExitCode(unittest.TestCase):
    def question(self, answer):
        return [{"event": "message", "text": checks.QUESTION, "answer": answer}]

    def test_mode_of_the_run(self):
        line = '"C:\\dl\\setup.exe"'
        self.assertEqual(checks.expected_exit(line, self.question(7), None, []), 2)
        self.assertEqual(checks.expected_exit(line, self.question(2), None, []), 0)
        self.assertEqual(checks.expected_exit(line + " /U", self.question(6), None, []), 2)
        self.assertEqual(checks.expected_exit(line + " /U /patch", [], None, []), 0)
        # "/s" is cut out first: "/su" leaves no "/u" behind, "/s/u" leaves one.
        self.assertEqual(checks.expected_exit(line + " /su", [], None, []), 0)
        self.assertEqual(checks.expected_exit(line + " /s/u", [], None, []), 2)

    def test_question_that_could_not_be_shown_quits(self):
        line = '"C:\\dl\\setup.exe" /u'
        self.assertEqual(checks.expected_exit(line, [], ("MessageBoxW", 1), self.question(7)), 0)
        self.assertEqual(checks.expected_exit(line, [], ("RegOpenKeyExW", 1), self.question(7)), 2)


if __name__ == "__main__":
    unittest.main()
