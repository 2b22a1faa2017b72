"""A server outage: what is archived meanwhile reaches the server once it is back, on the agent's own
retry and without a new file, each activity exactly once; a torn archive tail left by a crash is cut
off before the next append and never sent."""

import os
import sys
import unittest

from harness import SHORT, OneFolderTestCase, wait_until, write_file

# The agent's first retry comes a minute after its start; should the server not be back by then,
# the next one follows two minutes later. The deadline covers both and only bounds a failure.
RETRY_DEADLINE = 300.0

COMPLETE_RECORD = (
    '<activity id="from-before-the-crash" type="Print" status="pending" source="KlendoHotFolderAgent" '
    'flags="0" devserial="" jobid="">\r\n<document name="complete.pdf" username="someone" '
    'datetime="2024-01-02 03:04:05" copies="1" pages="1" device="P1"/><billing/></activity>')
TORN_RECORD = '<activity id="torn-by-the-crash" type="Print"><document name="torn.pd'


class OutageTest(OneFolderTestCase):
    def verdicts(self):
        seen = {}
        for activity in self.server.activities():
            seen.setdefault(activity["document"], []).append(activity["verdict"])
        return seen

    def test_activities_of_an_outage_arrive_exactly_once_without_a_new_file(self):
        self.server.start("--http-status", "503", port=self.port)
        self.start_agent()
        names = ["outage %d.pdf" % n for n in range(8)]
        for name in names:
            self.wait_gone(self.drop(name))
        wait_until(lambda: self.archived_count() == len(names), SHORT, "every job archived", self.archive_text)
        self.server.stop()

        self.server.start(port=self.port)
        self.wait_documents(names, timeout=RETRY_DEADLINE)
        wait_until(lambda: self.archive_text() == "", SHORT, "an empty archive", self.archive_text)
        self.stop_agent()
        self.assertEqual(self.verdicts(), {name: ["1"] for name in names})
        self.assertIn("--I: re-send of pending activities done: 8 acknowledged, 0 refused", self.log_text())

    def test_torn_archive_tail_is_cut_before_the_next_append_and_never_sent(self):
        write_file(self.archive_path, (COMPLETE_RECORD + TORN_RECORD).encode("utf-8"))
        self.server.start("--http-status", "503", port=self.port)
        self.start_agent()
        self.wait_gone(self.drop("after the restart.pdf"))
        wait_until(lambda: "after the restart.pdf" in self.archive_text(), SHORT, "the new job archived",
                   self.archive_text)
        archive = self.archive_text()
        self.assertTrue(archive.startswith(COMPLETE_RECORD + "<activity "), archive)
        self.assertNotIn("torn-by-the-crash", archive)
        self.wait_log("--W: KlendoActivity.dat ends in a torn record of %d bytes, cut off: %s"
                      % (len(TORN_RECORD), TORN_RECORD))
        self.server.stop()

        self.server.start(port=self.port)
        self.drop("trigger.pdf")
        self.wait_documents(["complete.pdf", "after the restart.pdf", "trigger.pdf"])
        wait_until(lambda: self.archive_text() == "", SHORT, "an empty archive", self.archive_text)
        self.stop_agent()
        self.assertEqual(self.verdicts(), {"complete.pdf": ["1"], "after the restart.pdf": ["1"], "trigger.pdf": ["1"]})


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
