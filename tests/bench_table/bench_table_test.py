"""scripts/bench_table.py on a made-up run: the ratios, the requests taken
off, a run whose request price is the whole time, the time per message
against the send floor, and the time per event against how many wait."""
import io
import json
import os
import sys
import tempfile
import unittest
from contextlib import redirect_stdout

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import bench_table  # noqa: E402

SAMPLES = bench_table.RUN_SAMPLES


def entry(name, us, **counters):
    e = {"name": name + "/iterations:1/repeats:3_min", "run_name": name,
         "aggregate_name": "min", "family_index": 0, "real_time": us, "cpu_time": us,
         "time_unit": "us"}
    e.update(counters)
    return e


def requests(midi, sleep=0):
    return {"send_midi": midi, "sleep": sleep, "set_pin_status": 0, "get_sample_clock": 0}


class BenchTable(unittest.TestCase):
    def table(self, benchmarks, summary):
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
            json.dump({"context": {"se_repetitions": "3"}, "benchmarks": benchmarks}, f)
        try:
            out = io.StringIO()
            with redirect_stdout(out):
                bench_table.main(f.name, "native", summary)
            return out.getvalue().splitlines()
        finally:
            os.unlink(f.name)

    def run_of(self):
        # Copy loop 100 us a run; a send costs 10 ns (16384 in 163.84 us).
        return [
            entry("reference | copy | - | placement 0 | 1024", 120.0),
            entry("reference | copy | - | placement 1 | 1024", 100.0),
            entry("host | request | send_midi | - | 1024", 163.84, stretches=16384),
            # One message a sample: 2621.44 us of sends, 300 us its own.
            entry("module | sender | In | noise | 1024", 2921.44, **requests(SAMPLES)),
            # Priced above its whole time: its own share cannot be told.
            entry("module | sender | In | pulses | 1024", 2000.0, **requests(SAMPLES)),
            entry("module | quiet | In | noise | 1024", 250.0, **requests(0)),
            # The floor: two messages a sample, 5242.88 us of sends, 200 us own.
            entry("module | send floor 2 a sample | In | noise | 1024", 5442.88,
                  **requests(2 * SAMPLES)),
        ]

    def test_rows_carry_the_ratio_and_the_share_left_after_requests(self):
        lines = self.table(self.run_of(), False)
        self.assertIn("| sender | In | noise | 29.21 (3.00) |", lines)
        self.assertIn("| sender | In | pulses | 20.00 (-) |", lines)
        self.assertIn("| quiet | In | noise | 2.50 |", lines)  # no requests, no parentheses

    def test_summary_marks_a_case_whose_share_cannot_be_told(self):
        lines = self.table(self.run_of(), True)
        self.assertIn("| sender | 3.00* | - | - |", lines)
        self.assertIn("| quiet | 2.50 | - | - |", lines)

    def test_time_per_message_against_the_floor(self):
        lines = self.table(self.run_of(), True)
        # Worst of noise (2921.44 per message-run) and pulses (2000), against
        # the floor's 5442.88 / 2 a message.
        self.assertIn("| sender | %.2f |" % (2921.44 / (5442.88 / 2)), lines)
        self.assertFalse(any(l.startswith("| quiet |") and l.count("|") == 3 for l in lines))

    def test_events_waiting_against_the_fewest(self):
        lines = self.table(self.run_of() + [
            entry("host | event, 100000 waiting | run | - | 1024", 3276.8, stretches=16384),
            entry("host | event, 10 waiting | run | - | 1024", 1638.4, stretches=16384),
        ], False)
        at = lines.index("| host, block 1024 | ns per event | against the fewest waiting |")
        self.assertEqual(lines[at + 2:at + 4], ["| event, 10 waiting | 100.0 | 1.00 |",
                                                "| event, 100000 waiting | 200.0 | 2.00 |"])


if __name__ == "__main__":
    unittest.main()
