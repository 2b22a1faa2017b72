"""Folder watching at scale and across restarts: hundreds of hot folders within the descriptor limit
of a service, and ticket folders that remember which tickets they billed."""

import os
import resource
import sys
import unittest

from harness import LONG, AgentTestCase, make_pdf, wait_until, write_file

# The soft descriptor limit systemd gives a service.
SERVICE_FILE_LIMIT = 1024


def inotify_instances(pid):
    count = 0
    for entry in os.listdir("/proc/%d/fd" % pid):
        try:
            count += os.readlink("/proc/%d/fd/%s" % (pid, entry)) == "anon_inode:inotify"
        except OSError:
            pass
    return count


class ManyFoldersTest(AgentTestCase):
    FOLDERS = 300

    def setUp(self):
        super().setUp()
        # Inherited by the agent: it runs with the limit of a service. Only this test's process
        # and its children are affected.
        limits = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(SERVICE_FILE_LIMIT, limits[1]), limits[1]))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, limits)

    def test_a_file_in_each_of_300_hot_folders_is_billed(self):
        port = self.server.start()
        folders = [dict(source=self.folder("hot %03d" % n), destination=self.folder("out %03d" % n),
                        devicename="D%d" % n) for n in range(self.FOLDERS)]
        self.write_settings(folders, port)
        self.register()
        self.start_agent()
        self.assertEqual(self.log_text().count("--I: successfully started folder monitor"), self.FOLDERS,
                         "\n".join(line for line in self.log_lines() if "--F" in line)[:2000])
        self.assertEqual(inotify_instances(self.agent.pid), 1)
        names = ["job %03d.pdf" % n for n in range(self.FOLDERS)]
        content = make_pdf(pages=1)
        for folder, name in zip(folders, names):
            write_file(os.path.join(folder["source"], name), content)
        activities = self.wait_documents(names, LONG)
        self.stop_agent()
        self.assertEqual({a["document"]: a["device"] for a in activities},
                         {name: "D%d" % n for n, name in enumerate(names)})


class TicketStateTest(AgentTestCase):
    def test_tickets_there_at_the_first_start_are_not_billed_and_one_dropped_while_stopped_is(self):
        hot = self.folder("uls")
        out = self.folder("uls out")
        port = self.server.start()
        self.write_settings([dict(source=hot, destination=out, devicename="ULS", type="ULS")], port)
        self.register()
        write_file(os.path.join(hot, "old.dat"), b"[PRINTJOB]\r\nJobName=Billed before\r\nTimer=60000\r\n")
        self.start_agent()
        self.wait_log("--I: ticket folder s=%s watched for the first time, tickets=1 taken as processed" % hot)
        self.stop_agent()
        states = [name for name in os.listdir(self.install) if name.startswith("KlendoTickets-")]
        self.assertEqual(len(states), 1, os.listdir(self.install))

        write_file(os.path.join(hot, "new.dat"), b"[PRINTJOB]\r\nJobName=Cut while stopped\r\nTimer=60000\r\n")
        self.start_agent()
        self.wait_documents(["Cut while stopped"])
        self.wait_log("--I: ticket scan s=%s tickets=2 unprocessed=1" % hot)
        wait_until(lambda: not os.path.exists(os.path.join(out, "new.dat")), LONG,
                   "the ticket's destination copy to be deleted")
        self.stop_agent()
        self.assertEqual([a["document"] for a in self.server.activities()], ["Cut while stopped"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
