"""The settings check (-Check) of the real executable: each problem line with its exit code, what
waits in the archive, the check beside a running agent, and a check run by another user."""

import os
import subprocess
import sys
import unittest

from harness import SHORT, AgentTestCase, free_port, write_file

RECORD = '<activity id="{%s}" type="Print" status="pending"></activity>'


class CheckTest(AgentTestCase):
    def check(self, preexec=None):
        done = subprocess.run([self.agent_path, "-Check"], env=self.environment, capture_output=True,
                              timeout=SHORT * 2, preexec_fn=preexec)
        self.assertEqual(done.stderr, b"")
        return done.returncode, done.stdout.decode("utf-8", "replace")

    def problems(self, output):
        return [line for line in output.splitlines() if line.startswith("--E: ")]

    def test_sound_settings_pass_and_show_resolved(self):
        port = self.server.start()
        hot, out = self.folder("hot"), self.folder("out")
        tickets = self.folder("tickets")
        self.write_settings([dict(source=hot, destination=out, copies="3"),
                             dict(source=tickets, destination=out, type="uls")], port)
        code, output = self.check()
        self.assertEqual(self.problems(output), [])
        self.assertEqual(code, 0, output)
        self.assertIn("hot folder 1: source=%s destination=%s type=print copies=3" % (hot, out), output)
        self.assertIn("hot folder 2: source=%s destination=%s type=ULS copies=1" % (tickets, out), output)
        self.assertIn("Server: 127.0.0.1 port %d" % port, output)
        self.assertTrue(output.rstrip().endswith("Settings OK"), output)

    def test_every_problem_has_its_line(self):
        hot, out = self.folder("hot"), self.folder("out")
        inner = self.folder("hot", "inner")
        other = self.folder("other")
        os.symlink(other, os.path.join(self.root, "other-link"))
        a_file = os.path.join(self.root, "plain-file")
        write_file(a_file, b"x")
        port = free_port()
        folders = [
            dict(source=hot, destination=out),
            dict(source=os.path.join(self.root, "missing"), destination=os.path.join(self.root, "gone")),
            dict(source=inner, destination=out),
            dict(source=other, destination=os.path.join(hot, "inner")),
            dict(source=os.path.join(self.root, "other-link"), destination=a_file, sorce="typo"),
        ]
        self.write_settings(folders, port, raw_lines=["serverprot=81"])
        with open(os.path.join(self.install, "KlendoHotFolderAgent.ini"), "a") as stream:
            stream.write("[hotfolder_6]\r\nsource=/x\r\n[hotfolder_0]\r\n[hotfolder7]\r\n[hotfolder_01]\r\n")
        code, output = self.check()
        expected = [
            "hot folder 2: source %s is missing or not a folder" % os.path.join(self.root, "missing"),
            "hot folder 2: destination %s is missing or not a folder" % os.path.join(self.root, "gone"),
            "hot folder 5: destination %s is missing or not a folder" % a_file,
            "hot folder 3: source %s and the source of hot folder 1 lie inside each other" % inner,
            "hot folder 4: destination %s is inside the source of hot folder 1 (a copy loop)"
            % os.path.join(hot, "inner"),
            "hot folder 4: destination %s is inside the source of hot folder 3 (a copy loop)"
            % os.path.join(hot, "inner"),
            "hot folder 5: same source as hot folder 4",
            'unknown key "serverprot" in [configuration]',
            'unknown key "sorce" in [hotfolder_5]',
            "section [hotfolder_6] is not read: hotfoldercount=5",
            "section [hotfolder_0] is not read: hotfoldercount=5",
            "unknown section [hotfolder7]",
            "unknown section [hotfolder_01]",
        ]
        problems = self.problems(output)
        for line in expected:
            self.assertIn("--E: " + line, problems, output)
        server = [line for line in problems if line.startswith("--E: server 127.0.0.1 port %d " % port)]
        self.assertEqual(len(server), 1, output)
        self.assertEqual(len(problems), len(expected) + 1, output)
        self.assertEqual(code, 1)

    def test_count_beyond_sections_and_a_missing_file(self):
        code, output = self.check()
        self.assertIn("--E: settings file %s cannot be read; the agent runs with the defaults"
                      % os.path.join(self.install, "KlendoHotFolderAgent.ini"), output)
        self.assertEqual(code, 1)
        self.write_settings_text("[configuration]\r\nhotfoldercount=2\r\n[hotfolder_1]\r\n")
        code, output = self.check()
        self.assertIn("--E: hotfoldercount=2 but there is no section [hotfolder_2]", output)
        self.assertIn("--E: hot folder 2: no source", output)
        self.assertEqual(code, 1)

    def test_wrapped_numbers_a_bad_port_and_a_named_pipe_are_problems(self):
        self.write_settings_text("[configuration]\r\nhotfoldercount=4294967297\r\nserverport=65537\r\n")
        code, output = self.check()
        self.assertIn("--E: hotfoldercount=4294967297 does not fit a number; the agent reads it as 1", output)
        self.assertIn("--E: serverport=65537 is not a port (1 to 65535)", output)
        self.assertEqual(code, 1)
        settings = os.path.join(self.install, "KlendoHotFolderAgent.ini")
        os.remove(settings)
        os.mkfifo(settings)
        # A pipe nobody writes to must not hold the check: it reads as an unreadable file.
        code, output = self.check()
        self.assertIn("--E: settings file %s cannot be read; the agent runs with the defaults" % settings, output)
        self.assertEqual(code, 1)

    def test_check_beside_a_running_agent_reads_the_archive(self):
        port = self.server.start()
        hot, out = self.folder("hot"), self.folder("out")
        self.write_settings([dict(source=hot, destination=out)], port)
        records = "".join(RECORD % n for n in range(3))
        write_file(self.archive_path, records.encode("ascii"))
        write_file(os.path.join(self.install, "KlendoActivity.settled.dat"), b"{0}\n")
        write_file(os.path.join(self.install, "KlendoActivity.rejected.dat"), (RECORD % 9).encode("ascii"))
        self.register()
        self.start_agent()
        code, output = self.check()
        self.assertEqual(code, 0, output)
        self.assertIn("--I: 2 activities wait in %s" % self.archive_path, output)
        self.assertIn("--I: 1 activities set aside in %s" % os.path.join(self.install, "KlendoActivity.rejected.dat"),
                      output)
        self.write_settings([dict(source=hot, destination=out, devicenmae="P1")], port)
        with open(os.path.join(self.install, "KlendoHotFolderAgent.ini"), "a") as stream:
            stream.write("[hotfolder_1]\r\n")
        code, output = self.check()
        self.assertIn('--E: unknown key "devicenmae" in [hotfolder_1]', output)
        self.assertIn("--E: section [hotfolder_1] appears again; the agent reads only the first", output)
        self.assertEqual(code, 1)
        self.assert_running()
        self.stop_agent()

    @unittest.skipUnless(os.geteuid() == 0, "needs root to run the check as another user")
    def test_another_user_is_told_whose_rights_were_checked(self):
        port = self.server.start()
        hot, out = self.folder("hot"), self.folder("out")
        self.write_settings([dict(source=hot, destination=out)], port)
        for folder, _, files in os.walk(self.root):
            os.chmod(folder, 0o755)
            for name in files:
                os.chmod(os.path.join(folder, name), 0o755)
        code, output = self.check(preexec=lambda: os.setuid(65534))
        self.assertIn("--E: hot folder 1: destination %s is not writable" % out, output)
        self.assertRegex(output, r"--I: folder rights were checked for user \S+; the service runs as root")
        self.assertEqual(code, 1)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
