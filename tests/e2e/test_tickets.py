"""Every version of a job ticket is billed exactly once: a ticket rewritten while its first version is
still being posted, and tickets left waiting in the queue at a stop."""

import os
import sys
import unittest

from harness import LONG, AgentTestCase, wait_until, write_file


def ticket(name, seconds):
    return ("[PRINTJOB]\r\nJobName=%s\r\nTimer=%d\r\n" % (name, seconds * 1000)).encode()


class TicketVersionTest(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.hot = self.folder("uls")
        self.out = self.folder("uls out")

    def start(self, *server_options):
        port = self.server.start(*server_options)
        self.write_settings([dict(source=self.hot, destination=self.out, devicename="ULS", type="ULS")], port)
        self.register()
        self.start_agent()

    def billed(self):
        counts = {}
        for activity in self.server.activities():
            counts[activity["document"]] = counts.get(activity["document"], 0) + 1
        return counts

    def test_ticket_rewritten_while_the_server_delays_its_answer_is_billed_in_both_versions(self):
        self.start("--delay-ms", "2000")
        path = os.path.join(self.hot, "job8.dat")
        write_file(path, ticket("First cut", 60))
        self.wait_log("--I: copying file S=" + path)
        write_file(path, ticket("Second cut, rewritten", 120))
        self.wait_documents(["First cut", "Second cut, rewritten"], LONG)
        self.stop_agent()
        self.assertEqual(self.billed(), {"First cut": 1, "Second cut, rewritten": 1})

    def test_tickets_still_queued_at_a_stop_are_billed_once_at_the_next_start(self):
        # Every request thread waits for a slow server, so most tickets queue behind them.
        self.start("--delay-ms", "2000", "--threads", "200")
        names = ["Ticket %03d" % n for n in range(180)]
        for n, name in enumerate(names):
            write_file(os.path.join(self.hot, "t%03d.dat" % n), ticket(name, 60))
        wait_until(lambda: self.log_text().count("--I: copying file S=") >= 100, LONG,
                   "a full set of request threads")
        self.stop_agent()
        first_run = self.billed()
        self.assertLess(len(first_run), len(names), "the stop left tickets in the queue")
        self.assertNotIn("request threads still running at stop", self.log_text())
        self.start_agent()
        self.wait_documents(names, LONG)
        self.stop_agent()
        self.assertEqual(self.billed(), {name: 1 for name in names})


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
