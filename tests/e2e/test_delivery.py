"""Activities the server did not take are archived beside the agent and sent again after the next
acknowledged post: nothing is lost while the server is down or refusing."""

import os
import re
import sys
import unittest

from harness import SHORT, OneFolderTestCase, wait_until


class DeliveryTest(OneFolderTestCase):
    def test_jobs_made_while_the_server_is_down_all_arrive_once_it_is_up(self):
        self.start_agent()
        names = ["down %d.pdf" % n for n in range(6)]
        for name in names:
            # An archived job is safe, so its print file goes.
            self.wait_gone(self.drop(name))
        wait_until(lambda: self.archived_count() == len(names), SHORT, "every job archived", self.archive_text)

        self.server.start(port=self.port)
        self.drop("trigger.pdf")
        self.wait_documents(names + ["trigger.pdf"])
        wait_until(lambda: self.archive_text() == "", SHORT, "an empty archive", self.archive_text)
        self.stop_agent()
        received = [a["document"] for a in self.server.activities()]
        self.assertEqual(set(received), set(names + ["trigger.pdf"]))

    def test_refused_job_is_archived_and_cleared_once_acknowledged(self):
        self.server.start("--activity-status", "0", port=self.port)
        self.start_agent()
        self.wait_gone(self.drop("refused.pdf"))
        wait_until(lambda: "refused.pdf" in self.archive_text(), SHORT, "the refused job archived")
        self.assertEqual(self.archived_count(), 1, self.archive_text())
        # A second refusal adds to the archive and loses nothing.
        self.wait_gone(self.drop("refused again.pdf"))
        wait_until(lambda: self.archived_count() == 2, SHORT, "two archived jobs", self.archive_text)
        self.server.stop()

        self.server.start(port=self.port)
        self.drop("accepted.pdf")
        wait_until(lambda: self.archive_text() == "", SHORT, "an empty archive", self.archive_text)
        self.stop_agent()
        verdicts = {}
        for activity in self.server.activities():
            verdicts.setdefault(activity["document"], []).append(activity["verdict"])
        self.assertEqual(verdicts["accepted.pdf"], ["1"])
        self.assertEqual(verdicts["refused.pdf"][-1], "1", verdicts)
        self.assertEqual(verdicts["refused again.pdf"][-1], "1", verdicts)
        self.assertIn("0", verdicts["refused.pdf"])

    def test_archived_job_is_sent_again_with_its_own_id_and_fields(self):
        self.start_agent()
        self.wait_gone(self.drop("first.pdf"))
        wait_until(lambda: self.archived_count() == 1, SHORT, "the job archived", self.archive_text)
        archived = re.search(r'<activity id="([^"]+)"', self.archive_text())
        self.assertIsNotNone(archived, self.archive_text())
        self.server.start(port=self.port)
        self.drop("second.pdf")
        activities = self.wait_documents(["first.pdf", "second.pdf"])
        self.stop_agent()
        first = [a for a in activities if a["document"] == "first.pdf"]
        self.assertEqual(len(first), 1, first)
        self.assertEqual(first[0]["id"], archived.group(1))
        self.assertEqual((first[0]["device"], first[0]["type"], first[0]["pages"]), ("P1", "Print", "1"))


    def test_http_error_page_archives_the_job_until_a_later_acknowledged_post(self):
        self.server.start("--http-status", "503", port=self.port)
        self.start_agent()
        self.wait_gone(self.drop("unavailable.pdf"))
        wait_until(lambda: self.archived_count() == 1, SHORT, "the job archived", self.archive_text)
        self.server.stop()
        self.server.start(port=self.port)
        self.drop("available.pdf")
        self.wait_documents(["unavailable.pdf", "available.pdf"])
        wait_until(lambda: self.archive_text() == "", SHORT, "an empty archive", self.archive_text)
        self.stop_agent()

    def test_changed_server_port_takes_effect_without_a_restart(self):
        self.server.start(port=self.port)
        self.start_agent()
        self.drop("to first.pdf")
        self.wait_documents(["to first.pdf"])
        second = type(self.server)(self.server_path, os.path.join(self.root, "second.db"))
        self.addCleanup(second.stop)
        second_port = second.start()
        self.write_settings([dict(source=self.hot, destination=self.out, devicename="P1")], second_port)
        self.drop("to second.pdf")
        wait_until(lambda: "to second.pdf" in second.documents(), SHORT, "the job at the second server",
                   second.documents)
        self.stop_agent()
        self.assertNotIn("to second.pdf", self.server.documents())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
