"""Bursts: a kill -9 in the middle of one loses no job, a large one stays within bounded threads
and memory, and the log that rolls over meanwhile keeps every line whole.

The figures (duplicates, peak threads, peak resident memory) are printed for the CTest log."""

import os
import sys
import time
import unittest

from harness import LOG_LINE, AgentTestCase, ProcessSampler, make_pdf, wait_until, write_file

BURST_DEADLINE = 240.0
# The agent caps its request threads at 128; the rest are the monitor, the pool and the main thread.
THREAD_BOUND = 200
LOG_LIMIT = 4 * 1024 * 1024


class LoadTest(AgentTestCase):
    def setUp(self):
        super().setUp()
        # Long folder names make every logged path long, so a burst of this size rolls the log over.
        self.hot = self.folder("hot-" + "h" * 120)
        self.out = self.folder("out-" + "o" * 120)
        port = self.server.start()
        self.write_settings([dict(source=self.hot, destination=self.out, devicename="Burst")], port)
        self.register()

    def drop_burst(self, count, prefix):
        names = ["%s-%05d-%s.pdf" % (prefix, n, "n" * 60) for n in range(count)]
        content = make_pdf(pages=2)
        for name in names:
            write_file(os.path.join(self.hot, name), content)
        return names

    def wait_all_done(self, names):
        activities = self.wait_documents(names, BURST_DEADLINE)
        wait_until(lambda: not os.listdir(self.hot), BURST_DEADLINE, "an empty hot folder",
                   lambda: "%d files left" % len(os.listdir(self.hot)))
        return activities

    def test_kill_in_the_middle_of_a_burst_loses_no_job(self):
        self.start_agent()
        names = self.drop_burst(500, "kill")
        wait_until(lambda: len(self.server.activities()) >= 100, BURST_DEADLINE, "the first 100 activities")
        self.kill_agent()
        at_kill = [a["document"] for a in self.server.activities()]
        left = len(os.listdir(self.hot))
        # Every job is on the server or still in the hot folder; the restart's start-up scan takes
        # the rest.
        received = {a["document"] for a in self.server.activities()}
        still_here = set(os.listdir(self.hot))
        self.assertEqual(set(names) - received - still_here, set())

        self.start_agent()
        activities = self.wait_all_done(names)
        self.stop_agent()
        documents = [a["document"] for a in activities]
        duplicates = len(documents) - len(set(documents))
        print("kill -9 burst: 500 files, %d activities (%d duplicates) on the server at the kill, %d files left "
              "in the hot folder, %d duplicates after the restart"
              % (len(at_kill), len(at_kill) - len(set(at_kill)), left, duplicates))
        self.assertEqual(set(documents), set(names))
        self.assertEqual(len(os.listdir(self.out)), 500)
        self.assertEqual(self.archive_text(), "")

    def test_stop_in_the_middle_of_a_burst_is_clean_and_loses_no_job(self):
        self.server.stop()
        self.server.start("--delay-ms", "300", port=self.server.port)
        self.start_agent()
        names = self.drop_burst(100, "stop")
        wait_until(lambda: self.server.activities(), BURST_DEADLINE, "the first activity")
        # Requests still waiting for the server are given time to end; the stop is clean.
        self.stop_agent()
        received = {a["document"] for a in self.server.activities()}
        left = set(os.listdir(self.hot))
        # Posts still waiting for a connection to the slow server at the stop are archived.
        archive = self.archive_text()
        archived = {name for name in names if 'name="%s"' % name in archive}
        print("stop in a burst: 100 files, %d on the server at the stop, %d archived, %d left in the hot folder"
              % (len(received), len(archived), len(left)))
        self.assertEqual(set(names) - received - archived - left, set())
        self.start_agent()
        self.wait_all_done(names)
        self.stop_agent()

    def test_burst_of_2000_files_with_bounded_threads_memory_and_whole_log_lines(self):
        self.start_agent()
        sampler = ProcessSampler(self.agent.pid)
        started = time.monotonic()
        names = self.drop_burst(2000, "burst")
        activities = self.wait_all_done(names)
        elapsed = time.monotonic() - started
        sampler.stop()
        self.stop_agent()
        documents = [a["document"] for a in activities]
        print("2000-file burst: %.1f s, %d activities, %d duplicates, peak threads %d, peak VmRSS %d KiB"
              % (elapsed, len(documents), len(documents) - len(set(documents)), sampler.peak_threads,
                 sampler.peak_rss_kib))
        self.assertEqual(set(documents), set(names))
        self.assertEqual(len(os.listdir(self.out)), 2000)
        self.assertGreater(sampler.peak_threads, 0)
        self.assertLess(sampler.peak_threads, THREAD_BOUND)

        # The log rolled over: the old file is gone with its first line, and nothing else is left.
        self.assertEqual(sorted(f for f in os.listdir(self.install) if "log" in f.lower() or f.endswith(".tmp")),
                         ["KlendoHotFolderAgent.log"])
        with open(self.log_path, "rb") as stream:
            data = stream.read()
        self.assertLessEqual(len(data), LOG_LIMIT + 64 * 1024)
        self.assertNotIn(b"Application Started", data)
        self.assertTrue(data.endswith(b"\r\n"))
        text = data.decode("utf-8")
        broken = [line for line in text[:-2].split("\r\n") if not LOG_LINE.match(line) or "\n" in line
                  or "\r" in line]
        self.assertEqual(broken, [], "%d broken log lines" % len(broken))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
