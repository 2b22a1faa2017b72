"""Files held open by their writer keep no request slot: while a writer holds more files than the
agent runs requests at once, the files of another hot folder are still posted, and the held ones
follow once the writer lets go.

The time the free files took is printed for the CTest log, never asserted."""

import os
import sys
import time
import unittest

from harness import LONG, AgentTestCase, make_pdf, wait_until, write_file

HELD = 130
FREE = 100
# The agent runs at most this many requests at once.
REQUEST_SLOTS = 128


class HeldFilesTest(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.held_hot, self.held_out = self.folder("held"), self.folder("held-out")
        self.free_hot, self.free_out = self.folder("free"), self.folder("free-out")
        port = self.server.start()
        self.write_settings([dict(source=self.held_hot, destination=self.held_out, devicename="Held"),
                             dict(source=self.free_hot, destination=self.free_out, devicename="Free")], port)
        self.register()
        self.writers = []
        self.addCleanup(self._close_writers)

    def _close_writers(self):
        for stream in self.writers:
            if not stream.closed:
                stream.close()

    def wait_lines(self, prefix):
        return self.log_text().count("--I: wait for write complete =" + prefix)

    def test_files_held_by_their_writer_do_not_stop_another_hot_folder(self):
        self.start_agent()
        # A file that appears while its folder's start-up scan runs is found by the scan and by the
        # watch, and rightly processed twice; the counts below hold for files written after it.
        self.wait_log("--I: start-up scan s=" + self.held_hot + " files=0")
        self.wait_log("--I: start-up scan s=" + self.free_hot + " files=0")
        contents = {}
        for number in range(HELD):
            name = "held-%03d.pdf" % number
            contents[name] = make_pdf(pages=2, note=name)
            stream = open(os.path.join(self.held_hot, name), "wb")
            stream.write(contents[name][:len(contents[name]) // 2])
            stream.flush()
            self.writers.append(stream)
        held_prefix = self.held_hot + os.sep
        # Every slot is taken by a held file at least once before the free files come.
        wait_until(lambda: self.wait_lines(held_prefix) >= REQUEST_SLOTS, LONG, "the held files' waits",
                   lambda: "%d waits" % self.wait_lines(held_prefix))

        staging = self.folder("staging")
        free_names = ["free-%03d.pdf" % number for number in range(FREE)]
        for name in free_names:
            write_file(os.path.join(staging, name), make_pdf(pages=1, note=name))
        started = time.monotonic()
        for name in free_names:
            os.rename(os.path.join(staging, name), os.path.join(self.free_hot, name))
        self.wait_documents(free_names, LONG)
        elapsed = time.monotonic() - started
        log = self.log_text()
        print("%d free files posted in %.2f s while %d files were held by their writer" % (FREE, elapsed, HELD))

        # Posted while every held file still waited, and before any held file's wait ran out.
        self.assertFalse("--F: file still being written after" in log,
                         "a held file's wait ran out before the free files got through")
        self.assertEqual(self.wait_lines(held_prefix), HELD, "one wait per held file, all under way")
        self.assertEqual(log.count("--I dispacth new request s=" + self.held_hot + " "), HELD,
                         "a held file's returns to the pool are not logged")
        self.assertEqual(sorted(os.listdir(self.held_hot)), sorted(contents))
        self.assertFalse({a["document"] for a in self.server.activities()} & set(contents))

        for stream, name in zip(self.writers, sorted(contents)):
            stream.write(contents[name][len(contents[name]) // 2:])
            stream.close()
        activities = self.wait_documents(contents, LONG)
        wait_until(lambda: not os.listdir(self.held_hot), LONG, "an empty held folder",
                   lambda: "%d files left" % len(os.listdir(self.held_hot)))
        self.stop_agent()

        documents = [a["document"] for a in activities]
        self.assertEqual(len(documents), len(set(documents)), "each file posted once")
        self.assertEqual({a["document"]: a["pages"] for a in activities if a["document"] in contents},
                         {name: "2" for name in contents}, "the whole file was read, not its first half")
        for name, content in contents.items():
            with open(os.path.join(self.held_out, name), "rb") as stream:
                self.assertEqual(stream.read(), content, name)
        # A file's wait is logged as it begins and as it ends, never begun again in between (the
        # removal that the agent's own delete causes is a request, and a wait, of its own).
        marks = {}
        for line in self.log_lines():
            for mark, text in (("begin", "--I: wait for write complete ="), ("end", "--I: wait end =")):
                if text + self.held_hot + os.sep in line:
                    marks.setdefault(line.split(text, 1)[1], []).append(mark)
        self.assertEqual(sorted(marks), sorted(os.path.join(self.held_hot, name) for name in contents))
        for path, sequence in marks.items():
            self.assertEqual(sequence[:2], ["begin", "end"], path)
            self.assertEqual(sequence, ["begin", "end"] * (len(sequence) // 2), path)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
