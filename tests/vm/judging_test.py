"""The test machine's judging helpers, without a machine: reading the kernel's trace,
counting the updater's commands against the golden trace, the typed results, and the
console text as Wine draws it."""
import json
import unittest

import rig
import scenarios

INQUIRY = (" QDp_FW_FirstUpd-121     [000] .....   302.539891: scsi_dispatch_cmd_start: host_no=%d "
           "channel=0 id=0 lun=0 data_sgl=1 prot_sgl=0 prot_op=SCSI_PROT_NORMAL driver_tag=144 "
           "scheduler_tag=14 cmnd=(INQUIRY - raw=12 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00)")
KERNEL_INQUIRY = (" kworker/0:1-33 [000] ..... 1.0: scsi_dispatch_cmd_start: host_no=1 channel=0 id=0 "
                  "lun=0 data_sgl=1 prot_sgl=0 prot_op=SCSI_PROT_NORMAL driver_tag=0 scheduler_tag=0 "
                  "cmnd=(INQUIRY - raw=12 00 00 00 24 00)")
SEND = INQUIRY.replace("INQUIRY - raw=12 00 00", "0xc8 - raw=c8 02 04")


class KernelTrace(unittest.TestCase):
    def test_the_commands_are_read_with_their_host_and_bytes(self):
        commands = rig.kernel_commands("\n".join([INQUIRY % 0, KERNEL_INQUIRY, "# tracer: nop", SEND % 1]))
        self.assertEqual([(host, block[:3]) for _, host, block in commands],
                         [("host0", b"\x12\x00\x00"), ("host1", b"\x12\x00\x00"), ("host1", b"\xc8\x02\x04")])
        self.assertEqual([len(block) for _, _, block in commands], [16, 6, 16])

    def test_the_updaters_commands_are_the_16_byte_ones_not_to_the_ordinary_disk(self):
        commands = rig.kernel_commands("\n".join([INQUIRY % 0, KERNEL_INQUIRY, SEND % 1, SEND % 1]))
        counts, odd = rig.recorder_commands(commands, {"host0"})
        self.assertEqual((counts, odd), ({"c8/02": 2}, []))
        result = scenarios.Result({"host0": "scsi_debug", "host1": "usb-storage"}, ["/dev/sg1"], {}, {})
        self.assertEqual(rig.ordinary_disk_hosts(result), {"host0"})

    def test_a_recorder_back_under_another_host_number_is_followed_by_its_port(self):
        back = " kworker/u2:2-51 [000] .....  310.5: console: scsi host%d: usb-storage %s:1.0"
        trace = "\n".join([SEND % 1, SEND % 2, back % (2, "1-1"), back % (1, "2-1"), SEND % 2, SEND % 1, INQUIRY % 0])
        found = rig.commands_by_port(trace, {"host1": "1-1", "host2": "2-1"})
        self.assertEqual({port: len(commands) for port, commands in found.items()}, {"1-1": 2, "2-1": 2, "host0": 1})
        self.assertEqual([host for _, host, _ in found["1-1"]], ["host1", "host2"])

    def test_probes_may_meet_a_leaving_recorder_up_to_three_times_a_restart(self):
        golden = {"12": 5, "c8/02": 10}
        self.assertEqual(rig.against_golden({"12": 5 + 12, "c8/02": 10}, golden, restarts=4), [])
        self.assertEqual(rig.against_golden({"12": 5 + 13, "c8/02": 10}, golden, restarts=4),
                         ["12: 18 commands to the recorder, expected 5 to 17"])
        self.assertEqual(rig.against_golden({"12": 5, "c8/02": 11, "c8/0a": 1}, golden, restarts=4),
                         ["c8/02: 11 commands to the recorder, expected 10 to 10",
                          "c8/0a: 1 commands to the recorder, expected 0 to 0"])


class Results(unittest.TestCase):
    def test_a_result_comes_back_whole_and_a_missing_field_is_an_error(self):
        result = scenarios.Result({"host0": "scsi_debug"}, ["/dev/sg1"], {"run": scenarios.Run(0, "a", "", 1.5)},
                                  {"waits": [True]})
        data = json.loads(scenarios.to_json(result))
        self.assertEqual(scenarios.from_json(data), result)
        del data["recorder_nodes"]
        with self.assertRaisesRegex(ValueError, "fields"):
            scenarios.from_json(data)
        with self.assertRaises(KeyError):
            scenarios.from_json(json.loads(scenarios.to_json(result))).facts["named"]


class Console(unittest.TestCase):
    def test_wines_cursor_moves_become_spaces_and_other_sequences_go(self):
        drawn = b"\x1b[?25lQuirn\x1b[?25h\x1b[1CDorvel+\x1b[2Cx\r\n\x1b]0;title\x07"
        self.assertEqual(scenarios.console_text(drawn), b"Quirn Dorvel+  x\n")

    def test_the_dialogue_of_a_whole_update_names_the_versions(self):
        expect = scenarios.Expect("1.3", "2.5", "1.3", "")
        text = expect.full_update(answers=True)
        self.assertIn("Press 'Y' to upgrade Boot Loader 1.2 to version 1.3 or other key to exit.\nY\n", text)
        self.assertTrue(text.startswith("Quirn Dorvel+ Firmware Updater version 1.3\n\n"
                                        "Current Boot Loader version: 1.2\nCurrent firmware version: 2.4\n"))


if __name__ == "__main__":
    unittest.main()
