"""Hostile settings, replies, links, names and folders: the agent keeps running, logs what it met
and loses no other job."""

import os
import shutil
import sys
import unittest

from harness import SHORT, AgentTestCase, ProcessSampler, make_pdf, wait_until, write_file


def xml_safe(raw):
    """What a name becomes in well-formed XML 1.0: what is not UTF-8, and every character XML
    forbids, is U+FFFD."""
    text = raw.decode("utf-8", "replace")
    return "".join("\ufffd" if (ord(c) < 0x20 and c not in "\t\n\r") or c in "\ufffe\uffff" else c
                   for c in text)


class HostileSettingsTest(AgentTestCase):
    def run_with(self, settings_text):
        self.write_settings_text(settings_text)
        self.register()
        self.start_agent()
        self.wait_log("numberof folders =")
        self.wait_log("serverport=")
        self.assert_running()
        self.stop_agent()

    def test_garbage_values_start_log_the_settings_and_stop_cleanly(self):
        hot = self.folder("hot")
        variants = {
            "letters": "[configuration]\r\nhotfoldercount=abc\r\nserveraddress=127.0.0.1\r\nserverport=xyz\r\n",
            "huge count": "[configuration]\r\nhotfoldercount=99999999\r\nserverport=99999999999999999999\r\n"
                          "[hotfolder_1]\r\nsource=%s\r\ndestination=%s\r\nhalfsize=yes\r\ncopies=-7\r\n"
                          % (hot, self.folder("out")),
            "negative": "[configuration]\r\nhotfoldercount=-5\r\nserverport=-1\r\n",
            "binary junk": b"[configuration]\r\n\x00\xff\xfe\x01garbage=\x80\x81\r\n\x1b[31m\r\n"
                           b"hotfoldercount=1\r\n[hotfolder_1]\r\nsource=\x00\r\n",
            "empty": "",
        }
        for name, text in variants.items():
            with self.subTest(settings=name):
                if os.path.exists(self.log_path):
                    os.remove(self.log_path)
                self.run_with(text)

    def test_garbage_numbers_in_a_folder_still_account_its_jobs(self):
        hot = self.folder("hot")
        out = self.folder("out")
        port = self.server.start()
        self.write_settings([dict(source=hot, destination=out, devicename="D", halfsize="yes", copies="many")],
                            port, raw_lines=["\x01\x02 junk line without equals", "=novalue", "noequals"])
        self.register()
        self.start_agent()
        write_file(os.path.join(hot, "a.pdf"), make_pdf(pages=2))
        activity = self.wait_documents(["a.pdf"])[0]
        self.stop_agent()
        document = activity["attributes"]["document"]
        # "yes" is not 1, so the size is kept.
        self.assertEqual((document["width"], document["pages"]), ("8.500000", "2"))


class HostileServerTest(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.hot = self.folder("hot")
        self.out = self.folder("out")

    def run_against_reply(self, body):
        """Returns the agent's peak resident memory in KiB while it met the reply."""
        reply = os.path.join(self.root, "reply")
        write_file(reply, body)
        port = self.server.start("--reply-file", reply)
        self.write_settings([dict(source=self.hot, destination=self.out, devicename="D")], port)
        self.register()
        self.start_agent()
        sampler = ProcessSampler(self.agent.pid, interval=0.005)
        self.addCleanup(sampler.stop)
        for name in ("one.pdf", "two.pdf"):
            path = os.path.join(self.hot, name)
            write_file(path, make_pdf(note=name))
            self.wait_gone(path)
            wait_until(lambda: name in self.archive_text(), SHORT, "%s archived" % name, self.archive_text)
        self.assert_running()
        self.wait_documents(["one.pdf", "two.pdf"])
        self.stop_agent()
        sampler.stop()
        self.assertEqual(self.archive_text().count("<activity "), 2, self.archive_text())
        return sampler.peak_rss_kib

    def test_reply_that_is_not_xml_archives_the_job(self):
        self.run_against_reply(b"Service Unavailable <<< \x00\xff not xml")

    def test_huge_reply_is_capped_and_archives_the_job(self):
        head = b'<activities status="1"><activity id="x" status="1"/>'
        peak = self.run_against_reply(head + b"<!--" + b"A" * (64 * 1024 * 1024) + b"-->" + b"</activities>")
        print("64 MiB reply: agent peak VmRSS %d KiB" % peak)
        # Kept whole, the body alone would be held three times over (transfer, reply text, parse).
        self.assertLess(peak, 128 * 1024)

    def test_reply_of_many_small_elements_costs_bounded_memory(self):
        # Read whole, a reply just under 16 MiB of empty elements builds a DOM of hundreds of MiB.
        head = b'<activities status="1"><activity id="x" status="1"/>'
        tail = b"</activities>"
        body = head + b"<a/>" * ((16 * 1024 * 1024 - len(head) - len(tail)) // 4) + tail
        peak = self.run_against_reply(body)
        print("16 MiB reply of small elements: agent peak VmRSS %d KiB" % peak)
        self.assertLess(peak, 64 * 1024)

    def test_acknowledgement_of_an_id_that_was_not_sent_acknowledges_nothing(self):
        self.run_against_reply(b'<activities status="1"><activity id="{00000000-0000-0000-0000-000000000000}"'
                               b' status="1"/></activities>')


class HostileFolderTest(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.hot = self.folder("hot")
        self.out = self.folder("out")
        self.other_hot = self.folder("other hot")
        self.other_out = self.folder("other out")
        port = self.server.start()
        self.write_settings([dict(source=self.hot, destination=self.out, devicename="D1"),
                             dict(source=self.other_hot, destination=self.other_out, devicename="D2")], port)
        self.register()
        self.start_agent()

    def test_symbolic_links_are_left_alone(self):
        secret = os.path.join(self.root, "secret.txt")
        write_file(secret, b"TOP SECRET")
        os.symlink("/etc/shadow", os.path.join(self.hot, "shadow.pdf"))
        os.symlink(secret, os.path.join(self.hot, "secret.pdf"))
        os.symlink(self.root, os.path.join(self.hot, "tree"))
        write_file(os.path.join(self.hot, "real.pdf"), make_pdf())
        self.wait_documents(["real.pdf"])
        self.wait_log("--F: symbolic link left alone =" + os.path.join(self.hot, "shadow.pdf"))
        self.wait_log("--F: symbolic link left alone =" + os.path.join(self.hot, "secret.pdf"))
        self.stop_agent()
        self.assertEqual(sorted(os.listdir(self.out)), ["real.pdf"])
        self.assertTrue(os.path.islink(os.path.join(self.hot, "shadow.pdf")))
        documents = [a["document"] for a in self.server.activities()]
        self.assertEqual(documents, ["real.pdf"])
        self.assertNotIn("TOP SECRET", self.log_text())

    def test_odd_file_names_arrive_under_their_own_names(self):
        names = ["with blanks  here .pdf", "quote\"s and 'apostrophes'.pdf", "amp & <angle>.pdf",
                 "Prüfbericht für Jürgen 日本語.pdf", "line\nbreak.pdf", " leading.pdf", "-dash.pdf", "%d %s %n.pdf"]
        for name in names:
            write_file(os.path.join(self.hot, name), make_pdf(note=name))
        self.wait_documents(names)
        for name in names:
            self.wait_gone(os.path.join(self.hot, name))
            self.assertTrue(os.path.isfile(os.path.join(self.out, name)), name)
        self.stop_agent()
        self.assertEqual(sorted(a["document"] for a in self.server.activities()), sorted(names))

    def test_name_with_control_characters_and_invalid_utf8_is_billed_not_archived(self):
        # The reference server is strict: a post that is not well-formed XML 1.0 would be refused,
        # and the job archived instead of billed.
        raw = (b"ctl\x01\x07\x1b[31m red\x7f \xff\xfe lead \xed\xa0\x80 surrogate "
               b"\xef\xbf\xbf nonchar \xc3\xa9t\xc3\xa9.pdf")
        path = os.path.join(os.fsencode(self.hot), raw)
        write_file(path, make_pdf(note="hostile name"))
        billed = xml_safe(raw)
        self.wait_documents([billed])
        self.wait_gone(path)
        self.stop_agent()
        self.assertTrue(os.path.isfile(os.path.join(os.fsencode(self.out), raw)))
        self.assertEqual([a["document"] for a in self.server.activities()], [billed])
        self.assertNotIn("<activity", self.archive_text())

    def test_deleted_hot_folder_is_logged_and_other_folders_keep_working(self):
        write_file(os.path.join(self.hot, "before.pdf"), make_pdf())
        self.wait_documents(["before.pdf"])
        shutil.rmtree(self.hot)
        self.wait_log("--F: monitor folder failed s=" + self.hot)
        write_file(os.path.join(self.other_hot, "after.pdf"), make_pdf())
        self.wait_documents(["after.pdf"])
        self.wait_gone(os.path.join(self.other_hot, "after.pdf"))
        self.assert_running()
        self.stop_agent()


class HostileSpecialFileTest(AgentTestCase):
    def test_named_pipes_in_a_hot_folder_do_not_hold_up_other_jobs(self):
        hot = self.folder("hot")
        out = self.folder("out")
        port = self.server.start()
        self.write_settings([dict(source=hot, destination=out, devicename="D")], port)
        self.register()
        self.start_agent()
        # More pipes than the agent runs request threads: a request that waits for a writer that
        # never comes would leave no thread for real jobs.
        pipes = ["pipe %03d.pdf" % n for n in range(130)]
        for name in pipes:
            os.mkfifo(os.path.join(hot, name))
        write_file(os.path.join(hot, "real.pdf"), make_pdf())
        self.wait_documents(["real.pdf"])
        self.stop_agent()
        self.assertNotIn("request threads still running at stop", self.log_text())
        self.assertEqual(sorted(os.listdir(hot)), pipes)
        self.assertEqual(os.listdir(out), ["real.pdf"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
