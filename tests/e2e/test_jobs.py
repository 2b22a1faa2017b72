"""The agent's main job seen from outside: print files and job tickets become activities on the
server, copies in the destination, and (for print files) an emptied hot folder."""

import os
import pwd
import sys
import time
import unittest

from harness import SHORT, AgentTestCase, make_pdf, wait_until, write_file


class PrintFolderTest(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.hot = self.folder("hot")
        self.out = self.folder("out")
        self.half_hot = self.folder("half hot")
        self.half_out = self.folder("half out")
        port = self.server.start()
        self.write_settings(
            [
                dict(source=self.hot, destination=self.out, devicename="Printer 7", halfsize=0, copies=3, type="",
                     usernamefrom=""),
                dict(source=self.half_hot, destination=self.half_out, devicename="Half", halfsize=1, copies=1),
            ],
            port,
        )
        self.register()

    def test_print_file_is_copied_posted_with_its_fields_and_removed(self):
        self.start_agent()
        content = make_pdf(pages=2, width=612, height=792)
        write_file(os.path.join(self.hot, "report.pdf"), content)
        write_file(os.path.join(self.half_hot, "half.pdf"), make_pdf(pages=1, width=612, height=792))
        activities = self.wait_documents(["report.pdf", "half.pdf"])
        self.wait_gone(os.path.join(self.hot, "report.pdf"))
        self.wait_gone(os.path.join(self.half_hot, "half.pdf"))
        self.stop_agent()

        report = [a for a in activities if a["document"] == "report.pdf"]
        self.assertEqual(len(report), 1, report)
        fields = report[0]
        self.assertEqual(fields["type"], "Print")
        self.assertEqual(fields["source"], "KlendoHotFolderAgent")
        self.assertEqual(fields["device"], "Printer 7")
        self.assertEqual(fields["pages"], "2")
        self.assertEqual(fields["copies"], "3")
        self.assertEqual(fields["username"], pwd.getpwuid(os.getuid()).pw_name)
        self.assertEqual(fields["verdict"], "1")
        self.assertRegex(fields["id"], r"^\{?[0-9A-Fa-f]{8}-([0-9A-Fa-f]{4}-){3}[0-9A-Fa-f]{12}\}?$")
        self.assertRegex(fields["datetime"], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
        document = fields["attributes"]["document"]
        self.assertEqual((document["width"], document["length"]), ("8.500000", "11.000000"))
        half = [a for a in activities if a["document"] == "half.pdf"][0]["attributes"]["document"]
        self.assertEqual((half["width"], half["length"], half["copies"]), ("4.250000", "5.500000", "1"))

        with open(os.path.join(self.out, "report.pdf"), "rb") as stream:
            self.assertEqual(stream.read(), content)
        self.assertEqual(self.archive_text(), "")
        # The file's own removal notification comes back as a second request that finds nothing.
        self.assertEqual(len(self.server.activities()), 2)

    def test_subfolder_file_goes_to_the_same_subfolder_and_is_kept_when_that_is_missing(self):
        self.start_agent()
        os.mkdir(os.path.join(self.out, "team a"))
        os.mkdir(os.path.join(self.hot, "team a"))
        os.mkdir(os.path.join(self.hot, "team b"))
        # The new subfolders are watched as they appear; give the watch a moment to be set.
        time.sleep(0.3)
        write_file(os.path.join(self.hot, "team a", "a.pdf"), make_pdf(note="a"))
        write_file(os.path.join(self.hot, "team b", "b.pdf"), make_pdf(note="b"))
        activities = self.wait_documents(["team a/a.pdf"])
        self.wait_gone(os.path.join(self.hot, "team a", "a.pdf"))
        self.assertTrue(os.path.isfile(os.path.join(self.out, "team a", "a.pdf")))
        self.assertEqual(activities[0]["device"], "Printer 7")
        # No destination folder is made for "team b": the copy fails and the print file, the only
        # copy of its job, stays where it is.
        self.wait_log("--F: source file kept =" + os.path.join(self.hot, "team b", "b.pdf"))
        self.assertTrue(os.path.isfile(os.path.join(self.hot, "team b", "b.pdf")))
        self.assertNotIn("team b/b.pdf", [a["document"] for a in self.server.activities()])
        self.stop_agent()

    def test_files_present_at_start_are_processed(self):
        names = ["early %d.pdf" % n for n in range(5)]
        for name in names:
            write_file(os.path.join(self.hot, name), make_pdf(note=name))
        self.start_agent()
        self.wait_documents(names)
        for name in names:
            self.wait_gone(os.path.join(self.hot, name))
            self.assertTrue(os.path.isfile(os.path.join(self.out, name)))
        self.wait_log("--I: start-up scan s=" + self.hot)
        self.stop_agent()

    def test_file_held_open_by_its_writer_waits_for_the_writer(self):
        self.start_agent()
        path = os.path.join(self.hot, "slow.pdf")
        content = make_pdf(pages=3)
        with open(path, "wb") as writer:
            writer.write(content[:40])
            writer.flush()
            self.wait_log("--I: wait for write complete =" + path)
            # Half a file must not be copied or posted while the writer still has it open.
            time.sleep(1.5)
            self.assertFalse(os.path.exists(os.path.join(self.out, "slow.pdf")))
            self.assertEqual(self.server.activities(), [])
            writer.write(content[40:])
        activities = self.wait_documents(["slow.pdf"])
        self.assertEqual(activities[0]["pages"], "3")
        with open(os.path.join(self.out, "slow.pdf"), "rb") as stream:
            self.assertEqual(stream.read(), content)
        self.wait_gone(path)
        self.stop_agent()


class TicketFolderTest(AgentTestCase):
    def test_ticket_becomes_timed_activity_and_stays_in_the_folder(self):
        hot = self.folder("uls")
        out = self.folder("uls out")
        port = self.server.start()
        self.write_settings([dict(source=hot, destination=out, devicename="ULS-Plotter", type="ULS", copies=4)],
                            port)
        self.register()
        self.start_agent()
        no_time = os.path.join(hot, "job0.dat")
        write_file(no_time, b"[PRINTJOB]\r\nJobName=Nothing\r\nTimer=0\r\n")
        ticket = os.path.join(hot, "job42.dat")
        write_file(ticket, b"[PRINTJOB]\r\nJobName=Cut plate\r\nCopies=2\r\nFieldHeight=300.5\r\n"
                           b"FieldWidth=600\r\nTimer=125999\r\n")
        activities = self.wait_documents(["Cut plate"])
        # A ticket without time posts nothing; its request ends with a failed parse step.
        self.wait_log("--E:status parsedoc failed")
        wait_until(lambda: not os.path.exists(os.path.join(out, "job42.dat")), SHORT,
                   "the ticket's destination copy to be deleted")
        self.stop_agent()

        self.assertEqual(len(activities), 1, activities)
        fields = activities[0]
        self.assertEqual((fields["type"], fields["pages"], fields["copies"], fields["device"]),
                         ("Time", "125", "1", "ULS-Plotter"))
        document = fields["attributes"]["document"]
        self.assertEqual((document["width"], document["length"]), ("600.000000", "300.500000"))
        self.assertTrue(fields["attributes"]["activity"]["jobid"].endswith("42"), fields["attributes"])
        self.assertNotEqual(document["machinename"], "")
        self.assertTrue(os.path.isfile(ticket))
        self.assertTrue(os.path.isfile(no_time))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
