"""No path leaves its hot folder or its destination: links in any folder of either path, the file
itself as a link, and a folder swapped for a link while the agent waits for the writer."""

import os
import sys
import unittest

from harness import AgentTestCase, make_pdf, wait_until, SHORT, write_file

SECRET = b"a file outside every hot folder and destination"


def read(path):
    with open(path, "rb") as stream:
        return stream.read()


class LinkTest(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.hot = self.folder("hot")
        self.out = self.folder("out")
        self.outside = self.folder("outside")
        for name in ("secret", "job.pdf", "x.pdf"):
            write_file(os.path.join(self.outside, name), SECRET)
        port = self.server.start()
        self.write_settings([dict(source=self.hot, destination=self.out, devicename="P")], port)
        self.register()

    def assert_outside_untouched(self):
        self.assertEqual(sorted(os.listdir(self.outside)), ["job.pdf", "secret", "x.pdf"])
        for name in os.listdir(self.outside):
            self.assertEqual(read(os.path.join(self.outside, name)), SECRET, name)

    def test_links_in_each_position_of_the_destination_path_are_never_written_through(self):
        os.symlink(self.outside, os.path.join(self.out, "first"))
        os.makedirs(os.path.join(self.out, "deep"))
        os.symlink(self.outside, os.path.join(self.out, "deep", "er"))
        os.symlink(os.path.join(self.outside, "secret"), os.path.join(self.out, "c.pdf"))
        for folder in ("first", os.path.join("deep", "er")):
            os.makedirs(os.path.join(self.hot, folder))
        self.start_agent()
        write_file(os.path.join(self.hot, "first", "job.pdf"), make_pdf(note="first"))
        write_file(os.path.join(self.hot, "deep", "er", "job.pdf"), make_pdf(note="deep"))
        write_file(os.path.join(self.hot, "c.pdf"), make_pdf(note="c"))
        self.wait_documents(["c.pdf"])
        self.wait_log("--F: source file kept =" + os.path.join(self.hot, "first", "job.pdf"))
        self.wait_log("--F: source file kept =" + os.path.join(self.hot, "deep", "er", "job.pdf"))
        self.stop_agent()
        self.assert_outside_untouched()
        self.assertFalse(os.path.islink(os.path.join(self.out, "c.pdf")), "the copy took the link's place")
        self.assertEqual([a["document"] for a in self.server.activities()], ["c.pdf"])

    def test_a_link_as_the_file_or_as_a_folder_of_the_hot_folder_is_left_alone(self):
        os.symlink(os.path.join(self.outside, "secret"), os.path.join(self.hot, "d.pdf"))
        os.symlink(self.outside, os.path.join(self.hot, "linked"))
        self.start_agent()
        self.wait_log("--F: symbolic link left alone =" + os.path.join(self.hot, "d.pdf"))
        self.wait_log("--F: symbolic link left alone =" + os.path.join(self.hot, "linked"))
        write_file(os.path.join(self.hot, "marker.pdf"), make_pdf(note="marker"))
        self.wait_documents(["marker.pdf"])
        self.stop_agent()
        self.assert_outside_untouched()
        self.assertEqual([a["document"] for a in self.server.activities()], ["marker.pdf"])

    def test_folder_swapped_for_a_link_during_the_wait_does_not_redirect_the_job(self):
        for folder in ("sw", os.path.join("deep", "sw")):
            os.makedirs(os.path.join(self.hot, folder))
            os.makedirs(os.path.join(self.out, folder), exist_ok=True)
        self.start_agent()
        content = make_pdf(pages=2, note="swapped")
        for folder in ("sw", os.path.join("deep", "sw")):
            path = os.path.join(self.hot, folder, "x.pdf")
            with open(path, "wb") as writer:
                writer.write(content[:30])
                writer.flush()
                self.wait_log("--I: wait for write complete =" + path)
                os.rename(os.path.join(self.hot, folder), os.path.join(self.hot, folder + ".old"))
                os.symlink(self.outside, os.path.join(self.hot, folder))
                writer.write(content[30:])
            wait_until(lambda: not os.path.exists(os.path.join(self.hot, folder + ".old", "x.pdf")), SHORT,
                       "the job itself to be processed and removed")
            self.assertEqual(read(os.path.join(self.out, folder, "x.pdf")), content)
        activities = self.wait_documents(["sw/x.pdf", "deep/sw/x.pdf"])
        self.stop_agent()
        self.assert_outside_untouched()
        self.assertEqual(sorted(a["pages"] for a in activities), ["2", "2"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
