"""Checks of the suite's own comparison and file handling: a comparison that
let a wrong run pass would make every scenario worthless.
  python3 -m unittest test_suite   (from tests/scenarios)"""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from suite import model, regfile  # noqa: E402
from suite.drive import Drive  # noqa: E402

BOX = {"event": "message", "caption": "提示", "text": "x", "type": 64, "answer": 1}


class EventComparison(unittest.TestCase):
    def test_differences_are_reported(self):
        cases = [
            ("a field differs", [BOX], [dict(BOX, type=16)]),
            ("an event is missing", [BOX, BOX], [BOX]),
            ("an extra event", [BOX], [BOX, BOX]),
            ("an extra field", [BOX], [dict(BOX, extra=1)]),
            ("null against text", [dict(BOX, text=None)], [BOX]),
            ("a number against its text", [dict(BOX, type=64)], [dict(BOX, type="64")]),
            ("order", [BOX, dict(BOX, text="y")], [dict(BOX, text="y"), BOX]),
            ("pattern not matched", [dict(BOX, text={"re": "a[0-9]+"})], [dict(BOX, text="a12b")]),
        ]
        for name, expected, actual in cases:
            with self.subTest(name):
                self.assertTrue(model.compare_events(expected, actual))

    def test_equal_events_and_matched_patterns_pass(self):
        self.assertEqual(model.compare_events([BOX], [dict(BOX)]), [])
        self.assertEqual(model.compare_events([dict(BOX, text={"re": "a[0-9]+"})], [dict(BOX, text="a12")]), [])


class StringValues(unittest.TestCase):
    def test_terminator_tolerated_only_where_asked_and_only_one(self):
        want = model.encode_value({"sz": "c:\\dl"})
        with_nul = (1, want[1] + b"\0\0")
        self.assertTrue(model.strings_equal(want, want, False))
        self.assertFalse(model.strings_equal(want, with_nul, False))
        self.assertTrue(model.strings_equal(want, with_nul, True))
        self.assertFalse(model.strings_equal(want, (1, want[1] + b"\0\0\0\0"), True))
        self.assertFalse(model.strings_equal(want, (3, want[1]), True))
        self.assertFalse(model.strings_equal((3, b"ab"), (3, b"ab\0\0"), True))

    def test_encodings(self):
        self.assertEqual(model.encode_value({"sz": "ab"}), (1, b"a\0b\0"))
        self.assertEqual(model.encode_value({"sz": "ab", "nul": True}), (1, b"a\0b\0\0\0"))
        self.assertEqual(model.encode_value({"dword": 258}), (4, b"\x02\x01\0\0"))
        self.assertEqual(model.encode_value({"multi_sz": ["a", "b"]}), (7, b"a\0\0\0b\0\0\0\0\0"))
        self.assertEqual(model.encode_value({"type": 1, "hex": "6100"}), (1, b"a\0"))


class RegistryFiles(unittest.TestCase):
    def test_written_bytes_read_back_exactly(self):
        keys = [("HKLM\\Software\\quenlix", [("system", 1, "c:\\dl".encode("utf-16-le")),
                                            ("odd", 3, b"\x01\x02\x03"), ("", 4, b"\1\0\0\0")]),
                ("HKCU\\EUDC\\936", [("楷体_GB2312", 1, "楷体.TTE".encode("utf-16-le"))])]
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "x.reg")
            regfile.write(path, keys)
            read = regfile.read(path, "HKLM")
        self.assertEqual(read["hklm\\software\\quenlix"]["values"]["system"], ("system", 1, "c:\\dl".encode("utf-16-le")))
        self.assertEqual(read["hklm\\software\\quenlix"]["values"]["odd"][2], b"\x01\x02\x03")
        self.assertEqual(read["hklm\\software\\quenlix"]["values"][""][1:], (4, b"\1\0\0\0"))
        self.assertEqual(read["hkcu\\eudc\\936"]["values"]["楷体_gb2312"][2], "楷体.TTE".encode("utf-16-le"))

    def test_other_forms(self):
        text = ('\ufeffWindows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Keyboard Layout\\Preload]\r\n'
                '"1"="00000804"\r\n"q"="say \\"hi\\" \\\\"\r\n"d"=dword:0000001a\r\n"h"=hex(7):61,00,\\\r\n  00,00\r\n')
        values = regfile.parse(text, "HKLM")["hkcu\\keyboard layout\\preload"]["values"]
        self.assertEqual(values["1"][1:], (1, "00000804\0".encode("utf-16-le")))
        self.assertEqual(values["q"][2], 'say "hi" \\\0'.encode("utf-16-le"))
        self.assertEqual(values["d"][1:], (4, b"\x1a\0\0\0"))
        self.assertEqual(values["h"][1:], (7, b"a\0\0\0"))


class ScenarioFiles(unittest.TestCase):
    def test_variants_merge_over_common_fields(self):
        base = {"before": {"lang": "0x0404", "files": {"C:\\a": {"text": "1"}}}, "expect": {"exit": 0}}
        merged = model.merge(base, {"before": {"files": {"C:\\b": None}}, "expect": {"events": []}})
        self.assertEqual(merged["before"], {"lang": "0x0404", "files": {"C:\\a": {"text": "1"}, "C:\\b": None}})
        self.assertEqual(merged["expect"], {"exit": 0, "events": []})

    def test_program_from_command_line(self):
        self.assertEqual(model.program_from_command_line('"C:\\Program Files\\q\\setup.exe" /u'),
                         "C:\\Program Files\\q\\setup.exe")
        self.assertEqual(model.program_from_command_line("C:\\dl\\setup.exe /s"), "C:\\dl\\setup.exe")

    def test_every_case_file_loads(self):
        here = os.path.dirname(os.path.abspath(__file__))
        self.assertTrue(model.load_scenarios(os.path.join(here, "cases"), []))


class PendingDeletes(unittest.TestCase):
    def observed(self, entries):
        data = "".join(e + "\0" for e in entries) + "\0"
        registry = {model.normal_key(model.PENDING_KEY): {"values": {
            model.PENDING_VALUE.lower(): (model.PENDING_VALUE, 7, data.encode("utf-16-le"))}}}
        return model.Observed([], 0, None, None, registry, True)

    def test_entries(self):
        pattern = ["C:\\Windows\\system32\\dzm*.tmp"]
        good = self.observed(["\\??\\C:\\windows\\system32\\dzm1a.tmp", ""])
        self.assertEqual(model.compare_pending(pattern, good), [])
        self.assertTrue(model.compare_pending([], good))
        renamed = self.observed(["\\??\\C:\\windows\\system32\\dzm1a.tmp", "\\??\\C:\\x"])
        self.assertTrue(model.compare_pending(pattern, renamed))
        self.assertTrue(model.compare_pending(pattern, self.observed([])))


class Drives(unittest.TestCase):
    def test_paths_resolve_without_regard_to_case(self):
        with tempfile.TemporaryDirectory() as d:
            drive = Drive(d)
            drive.put("C:\\Windows\\System32\\dzmAB.TMP", b"x")
            self.assertEqual(drive.read("c:\\windows\\system32\\DZMab.tmp"), b"x")
            self.assertEqual(drive.glob("C:\\WINDOWS\\system32\\dzm*.tmp"), ["C:\\WINDOWS\\system32\\dzmAB.TMP"])
            with self.assertRaises(KeyError):
                drive.read("C:\\Windows\\nothing")
            self.assertIsNone(drive.read("C:\\windows"))


if __name__ == "__main__":
    unittest.main()
