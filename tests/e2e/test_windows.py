"""The Windows agent under Wine, against the reference server on the Linux side of the machine:
registered in the Wine prefix's registry and service control manager, run as a console process and as
a service, fed by Windows processes (cmd's copy). CTest runs it from the Windows build with WINEPREFIX
set to that build's prefix and a persistent wineserver (scripts/test-windows): without one, Wine ends
its service control manager, and every service with it, when the last ordinary process exits.

The registration is the machine's own (the prefix's HKEY_CLASSES_ROOT and service control manager),
so the test classes share one CTest resource lock.
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import shutil
import unittest

from harness import (CLOSING_LINE, LONG, SHORT, AgentFiles, ReferenceServer, _end_with_the_test, free_port,
                     make_pdf, wait_until, write_file)

WINE = "/usr/lib/wine/wine64"
SERVICE = "KlendoHotFolderAgent"
APPID_KEY = r"HKCR\AppID\{6A0E4C5B-2F19-4D8E-9B37-5C1D0E7F2A64}"
EXE_APPID_KEY = r"HKCR\AppID\KlendoHotFolderAgent.EXE"
TYPELIB_KEY = r"HKCR\TypeLib\{3F7B9D21-6C4E-4A85-B1D2-8E9F0A3C5D67}"
SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\KlendoHotFolderAgent"
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\KlendoHotFolderAgent"
A4_PCL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "printparser", "corpus", "gs", "a4-ljet4.pcl")
BURST = 40

WINE_GAPS = [
    "a file's owner under Wine is always the current user: the user name is checked to be set, not to be the "
    "writer's",
    "Wine has no logged-on session: no session user is checked",
    "Wine's ReportEventW stores nothing: the service's event texts are checked by the unit tests' event log",
]


# One value of reg's export: "name"=data or @=data.
REG_LINE = re.compile(r'^(?:@|"((?:[^"\\]|\\.)*)")=(.*)$')


def unescape(text):
    return re.sub(r"\\(.)", r"\1", text)


def registry_data(text):
    if text.startswith('"'):
        return unescape(text[1:-1])
    if text.startswith("dword:"):
        return hex(int(text[6:], 16))
    kind, _, data = text.partition(":")
    raw = bytes(int(byte, 16) for byte in data.split(",") if byte)
    strings = [part for part in raw.decode("utf-16-le").split("\0") if part]
    return "\\0".join(strings) if kind == "hex(7)" else "".join(strings)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def write_ticket(path, name, seconds):
    write_file(path, ("[PRINTJOB]\r\nJobName=%s\r\nFieldHeight=300\r\nFieldWidth=600\r\nTimer=%d\r\n"
                      % (name, seconds * 1000)).encode("ascii"))


class WineAgentTestCase(AgentFiles, unittest.TestCase):
    """One agent installed in a temporary folder, with one print folder and one ULS ticket folder."""

    def setUp(self):
        if not os.environ.get("WINEPREFIX"):
            self.fail("WINEPREFIX must name the Windows build's prefix (scripts/test-windows sets it)")
        for name in ("KLENDO_AGENT", "KLENDO_PRINTINFO", "KLENDO_SERVER"):
            if not os.path.isfile(os.environ.get(name, "")):
                self.fail("%s must name a built executable" % name)
        self.root = tempfile.mkdtemp(prefix="klendo-wine-")
        self.addCleanup(shutil.rmtree, self.root, True)
        # A blank and a letter beyond ASCII: the service path must be quoted and reach the system as UTF-16.
        self.install = self.folder("Klendo install é")
        self.agent_path = os.path.join(self.install, "KlendoHotFolderAgent.exe")
        shutil.copy2(os.environ["KLENDO_AGENT"], self.agent_path)
        shutil.copy2(os.environ["KLENDO_PRINTINFO"], os.path.join(self.install, "KlendoPrintInfo.exe"))
        self.log_path = os.path.join(self.install, "KlendoHotFolderAgent.log")
        self.archive_path = os.path.join(self.install, "KlendoActivity.dat")
        self.environment = {k: v for k, v in os.environ.items() if not k.startswith("KLENDO_")}
        self.hot, self.out = self.folder("hot"), self.folder("out")
        self.uls, self.uls_out = self.folder("uls"), self.folder("uls out")
        self.staging = self.folder("staging")
        self.port = free_port()
        self.server = ReferenceServer(os.environ["KLENDO_SERVER"], os.path.join(self.root, "server.db"))
        self.agent = None
        self.write_settings()
        # Cleanups run last in, first out: the registration goes after every process has ended.
        self.addCleanup(self.unregister)
        self.addCleanup(self.end_processes)

    def folder(self, *parts):
        path = os.path.join(self.root, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    def write_settings(self):
        lines = ["[configuration]", "hotfoldercount=2", "serveraddress=127.0.0.1", "serverport=%d" % self.port,
                 "[hotfolder_1]", "source=" + windows_path(self.hot), "destination=" + windows_path(self.out),
                 "devicename=Printer 7", "copies=2",
                 "[hotfolder_2]", "source=" + windows_path(self.uls), "destination=" + windows_path(self.uls_out),
                 "devicename=ULS-Plotter", "type=ULS"]
        write_file(os.path.join(self.install, "KlendoHotFolderAgent.ini"), "\r\n".join(lines + [""]).encode())

    def wine(self, *arguments, timeout=LONG):
        """Runs a Windows program to its end; its output (stdout and stderr together) goes through a
        file: a pipe would stay open as long as any process Wine starts on the way (its desktop
        process, say) inherited it, long after the program ended."""
        with tempfile.TemporaryFile() as output:
            done = subprocess.run([WINE] + list(arguments), env=self.environment, stdin=subprocess.DEVNULL,
                                  stdout=output, stderr=subprocess.STDOUT, timeout=timeout)
            output.seek(0)
            done.stdout = output.read()
        return done

    def run_agent_switch(self, switch):
        return self.wine(self.agent_path, switch).returncode

    def registry_values(self, key):
        """The values of a registry key as {name: data} ("(Default)" for the default value, DWORDs as
        "0x..", string lists joined by "\\0"), or None when the key does not exist. Read from reg's
        export, which is UTF-16: its query prints in the console's code page."""
        exported = os.path.join(self.root, "exported.reg")
        if self.wine("reg", "export", key, windows_path(exported), "/y").returncode != 0:
            return None
        with open(exported, "rb") as stream:
            lines = stream.read().decode("utf-16").replace("\\\r\n  ", "").splitlines()
        os.remove(exported)
        values = {}
        sections = [number for number, line in enumerate(lines) if line.startswith("[")] + [len(lines)]
        for line in lines[sections[0] + 1:sections[1]]:
            match = REG_LINE.match(line)
            if match:
                name = unescape(match.group(1)) if match.group(1) is not None else "(Default)"
                values[name] = registry_data(match.group(2))
        return values

    def copy_in(self, source, target):
        """A Windows process writes the file: cmd's copy, as a print spooler or a user would."""
        done = self.wine("cmd", "/c", "copy", "/y", windows_path(source), windows_path(target))
        self.assertEqual(done.returncode, 0, done.stdout)

    def stage(self, name, data):
        path = os.path.join(self.staging, name)
        write_file(path, data)
        return path

    def drop_pdf(self, name, pages=1):
        self.copy_in(self.stage(name, make_pdf(pages=pages, note=name)), os.path.join(self.hot, name))

    def agent_processes(self):
        """Pids of the agents and parser workers run from this test's folders."""
        pids = []
        marker = os.path.basename(self.root).encode()
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open("/proc/%s/cmdline" % entry, "rb") as stream:
                        line = stream.read()
                except OSError:
                    continue
                if marker in line and (b"KlendoHotFolderAgent.exe" in line or b"KlendoPrintInfo.exe" in line):
                    pids.append(int(entry))
        return pids

    def end_processes(self):
        """Each step on its own: a stop that hangs must not keep the others from ending what runs."""
        try:
            self.wine("net", "stop", SERVICE, timeout=SHORT)
        except subprocess.TimeoutExpired:
            pass
        if self.agent and self.agent.poll() is None:
            self.agent.kill()
            self.agent.wait()
        for pid in self.agent_processes():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        self.server.stop()

    def unregister(self):
        """The prefix's registration is shared by every test: none may leave one behind."""
        self.assertEqual(self.run_agent_switch("-UnregServer"), 0)
        self.assertIsNone(self.registry_values(SERVICE_KEY))

    def wait_stopped_and_closed(self):
        """The agent's processes are gone and the log's last line is its closing line."""
        wait_until(lambda: self.log_lines() and self.log_lines()[-1].endswith(CLOSING_LINE), LONG,
                   "the log's closing line", lambda: "\n".join(self.log_lines()[-5:]))
        wait_until(lambda: not self.agent_processes(), LONG, "the agent's processes to end", self.agent_processes)
        self.assertNotIn("--F: COM", self.log_text(), "the run's COM and its security were set up")

    def agent_output(self):
        with open(self.agent_output_path, "rb") as stream:
            return [line.rstrip("\r") for line in stream.read().decode("utf-8", "replace").split("\n")]

    def wait_run_started(self, runs_before):
        """The log of one more run shows every folder watched (a run appends to the log)."""
        marker = "--I : monitor status = "
        wait_until(lambda: self.log_text().count(marker) > runs_before, LONG, "a run's folders to be watched",
                   lambda: "\n".join(self.log_lines()[-8:]))

    def start_console_agent(self):
        """The console's output goes to a file, for the same reason as wine()'s."""
        runs_before = self.log_text().count("--I : monitor status = ")
        self.agent_output_path = os.path.join(self.root, "agent-output-%d.txt" % runs_before)
        with open(self.agent_output_path, "wb") as output:
            self.agent = subprocess.Popen([WINE, self.agent_path], env=self.environment, stdin=subprocess.DEVNULL,
                                          stdout=output, stderr=subprocess.STDOUT, preexec_fn=_end_with_the_test)
        wait_until(lambda: "Service started" in self.agent_output() or self.agent.poll() is not None, LONG,
                   "the agent to start", self.agent_output)
        self.assertIsNone(self.agent.poll(), "agent exited at start: %s" % self.agent_output())
        self.wait_run_started(runs_before)

    def stop_console_agent(self):
        """Ctrl-C, which Wine delivers for SIGINT: exit 0, both event texts, the closing line last."""
        self.agent.send_signal(signal.SIGINT)
        code = self.agent.wait(LONG)
        self.assertEqual(code, 0, self.agent_output())
        self.assertIn("Service stopped", self.agent_output())
        self.wait_stopped_and_closed()

    def start_service(self):
        runs_before = self.log_text().count("--I : monitor status = ")
        done = self.wine("net", "start", SERVICE)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.wait_run_started(runs_before)

    def stop_service(self):
        done = self.wine("net", "stop", SERVICE)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.wait_stopped_and_closed()

    def check_print_jobs_posted(self):
        """A PDF and a PCL file, each copied in by a Windows process: posted with their fields, copied
        to the destination, removed from the hot folder."""
        self.drop_pdf("report.pdf", pages=2)
        with open(A4_PCL, "rb") as stream:
            pcl = stream.read()
        self.copy_in(self.stage("a4.pcl", pcl), os.path.join(self.hot, "a4.pcl"))
        activities = self.wait_documents(["report.pdf", "a4.pcl"])
        wait_until(lambda: not os.path.exists(os.path.join(self.hot, "report.pdf"))
                   and not os.path.exists(os.path.join(self.hot, "a4.pcl")), SHORT, "the hot folder to empty")
        report = [a for a in activities if a["document"] == "report.pdf"][0]
        self.assertEqual((report["type"], report["pages"], report["copies"], report["device"], report["verdict"]),
                         ("Print", "2", "2", "Printer 7", "1"))
        self.assertNotEqual(report["username"], "")
        self.assertEqual((report["attributes"]["document"]["width"], report["attributes"]["document"]["length"]),
                         ("8.500000", "11.000000"))
        pcl_activity = [a for a in activities if a["document"] == "a4.pcl"][0]
        self.assertEqual(pcl_activity["pages"], "3")
        size = pcl_activity["attributes"]["document"]
        self.assertAlmostEqual(float(size["width"]), 8.264, delta=0.01)
        self.assertAlmostEqual(float(size["length"]), 11.694, delta=0.01)
        with open(os.path.join(self.out, "a4.pcl"), "rb") as stream:
            self.assertEqual(stream.read(), pcl)

    def check_ticket_posted(self):
        write_ticket(os.path.join(self.staging, "job42.dat"), "Cut plate", 125)
        self.copy_in(os.path.join(self.staging, "job42.dat"), os.path.join(self.uls, "job42.dat"))
        ticket = [a for a in self.wait_documents(["Cut plate"]) if a["document"] == "Cut plate"][0]
        self.assertEqual((ticket["type"], ticket["pages"], ticket["device"]), ("Time", "125", "ULS-Plotter"))
        self.assertTrue(ticket["attributes"]["activity"]["jobid"].endswith("42"), ticket["attributes"])


class WineRegistrationTest(WineAgentTestCase):
    def test_service_registration_replaces_and_unregistration_removes_every_entry(self):
        self.assertEqual(self.run_agent_switch("-UnregServer"), 0, "nothing to remove is no failure")
        self.assertEqual(self.run_agent_switch(""), 2, "an unregistered agent ends with the open's error")
        self.assertFalse(os.path.exists(self.log_path))

        self.assertEqual(self.run_agent_switch("-Service"), 0)
        self.assertEqual(self.registry_values(APPID_KEY),
                         {"(Default)": SERVICE, "LocalService": SERVICE, "ServiceParameters": "-Service"})
        self.assertEqual(self.registry_values(EXE_APPID_KEY), {"AppID": "{6A0E4C5B-2F19-4D8E-9B37-5C1D0E7F2A64}"})
        self.assertEqual(self.registry_values(TYPELIB_KEY + r"\1.0"),
                         {"(Default)": "KlendoHotFolderAgent 1.0 Type Library"})
        self.assertEqual(self.registry_values(TYPELIB_KEY + r"\1.0\409\win64"),
                         {"(Default)": windows_path(self.agent_path)})
        service = self.registry_values(SERVICE_KEY)
        self.assertEqual(service["ImagePath"], '"%s"' % windows_path(self.agent_path))
        self.assertEqual((service["Start"], service["Type"], service["DependOnService"], service["ObjectName"]),
                         ("0x3", "0x10", "RPCSS", "LocalSystem"))
        self.assertEqual(self.registry_values(EVENT_SOURCE_KEY),
                         {"EventMessageFile": windows_path(self.agent_path), "TypesSupported": "0x7"})

        # A second install, from another folder, replaces the first service.
        moved = os.path.join(self.folder("moved"), "KlendoHotFolderAgent.exe")
        shutil.copy2(self.agent_path, moved)
        self.assertEqual(self.wine(moved, "/service").returncode, 0)
        self.assertEqual(self.registry_values(SERVICE_KEY)["ImagePath"], '"%s"' % windows_path(moved))

        self.assertEqual(self.run_agent_switch("-RegServer"), 0)
        self.assertIsNone(self.registry_values(SERVICE_KEY))
        self.assertIsNone(self.registry_values(EVENT_SOURCE_KEY))
        # Only "LocalService" decides how the agent runs; "ServiceParameters" stays until unregistration.
        self.assertNotIn("LocalService", self.registry_values(APPID_KEY))

        self.assertEqual(self.run_agent_switch("-UnregServer"), 0)
        self.assertIsNone(self.registry_values(APPID_KEY))
        self.assertIsNone(self.registry_values(EXE_APPID_KEY))
        self.assertIsNone(self.registry_values(TYPELIB_KEY))
        self.assertIsNotNone(self.registry_values(r"HKCR\AppID"))


class WineConsoleTest(WineAgentTestCase):
    def setUp(self):
        super().setUp()
        self.assertEqual(self.run_agent_switch("-RegServer"), 0)

    def test_jobs_and_tickets_of_windows_writers_are_posted_and_ctrl_c_stops(self):
        self.server.start(port=self.port)
        self.start_console_agent()
        self.check_print_jobs_posted()
        self.check_ticket_posted()
        self.stop_console_agent()

    def test_job_of_a_server_outage_is_archived_and_sent_once_the_server_is_back(self):
        self.start_console_agent()
        self.drop_pdf("during outage.pdf")
        wait_until(lambda: "during outage.pdf" in self.archive_text(), SHORT, "the job archived",
                   lambda: "\n".join(self.log_lines()[-8:]))
        self.assertFalse(os.path.exists(os.path.join(self.hot, "during outage.pdf")))
        self.server.start(port=self.port)
        # The next acknowledged post starts a re-send at once.
        self.drop_pdf("after outage.pdf")
        self.wait_documents(["during outage.pdf", "after outage.pdf"])
        wait_until(lambda: self.archive_text() == "", SHORT, "an empty archive", self.archive_text)
        self.stop_console_agent()

    def test_second_agent_of_one_install_ends_at_once(self):
        self.start_console_agent()
        second = self.wine(self.agent_path)
        self.assertNotEqual(second.returncode, 0)
        self.assertIn(b"Another KlendoHotFolderAgent is already running from", second.stdout)
        self.assertEqual(self.log_text().count(" Application Started"), 1)
        self.stop_console_agent()


class WineServiceTest(WineAgentTestCase):
    def setUp(self):
        super().setUp()
        self.assertEqual(self.run_agent_switch("-Service"), 0)
        # The exit code tells the type library's registration only; the service must be there too.
        self.assertIsNotNone(self.registry_values(SERVICE_KEY))

    def test_registering_again_while_the_service_runs_replaces_it(self):
        # A post held by a slow server keeps the old service stopping for a while.
        self.server.start("--delay-ms", "3000", port=self.port)
        self.start_service()
        self.drop_pdf("in flight.pdf")
        wait_until(lambda: os.path.exists(os.path.join(self.out, "in flight.pdf")), SHORT, "the job's copy")
        self.assertEqual(self.run_agent_switch("-Service"), 0)
        # The running agent was stopped before its entry was replaced, not left to take it along.
        self.assertTrue(self.log_lines()[-1].endswith(CLOSING_LINE), self.log_lines()[-3:])
        self.assertIsNotNone(self.registry_values(SERVICE_KEY))
        self.assertIsNotNone(self.registry_values(EVENT_SOURCE_KEY))
        self.start_service()
        self.drop_pdf("after the new registration.pdf")
        self.wait_documents(["in flight.pdf", "after the new registration.pdf"], timeout=LONG)
        self.stop_service()

    def test_service_registration_started_by_hand_runs_as_console_and_keeps_the_service_out(self):
        self.server.start(port=self.port)
        self.start_console_agent()
        done = self.wine("net", "start", SERVICE)
        self.assertNotEqual(done.returncode, 0, "a second agent of the install must not start")
        self.drop_pdf("beside.pdf")
        self.wait_documents(["beside.pdf"])
        self.assertEqual(self.log_text().count(" Application Started"), 1)
        self.stop_console_agent()

    def test_service_posts_jobs_and_stops_at_the_managers_stop(self):
        self.server.start(port=self.port)
        self.start_service()
        self.check_print_jobs_posted()
        self.check_ticket_posted()
        self.stop_service()
        self.assertIn("--I: stop signal 1 received", self.log_text())

    def test_stop_during_a_burst_loses_no_job(self):
        # A slow server keeps posts in flight, so that the stop meets jobs in every stage.
        self.server.start("--delay-ms", "2000", port=self.port)
        self.start_service()
        names = ["burst %02d.pdf" % n for n in range(BURST)]
        script = ["@echo off"]
        for name in names:
            script.append('copy /y "%s" "%s" >nul' % (windows_path(self.stage(name, make_pdf(note=name))),
                                                      windows_path(os.path.join(self.hot, name))))
        write_file(os.path.join(self.staging, "burst.bat"), "\r\n".join(script + [""]).encode())
        writer = subprocess.Popen([WINE, "cmd", "/c", windows_path(os.path.join(self.staging, "burst.bat"))],
                                  env=self.environment, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        wait_until(lambda: len(self.server.activities()) >= 3, LONG, "the first posts of the burst")
        self.stop_service()
        self.assertEqual(writer.wait(LONG), 0)

        # Every job is posted, archived or still in the hot folder; the next run sends the rest.
        posted = {a["document"] for a in self.server.activities()}
        waiting = set(os.listdir(self.hot))
        archived = {name for name in names if name in self.archive_text()}
        self.assertEqual(set(names) - posted - waiting - archived, set())
        print("at the stop: %d posted, %d in the hot folder, %d archived" % (
            len(posted & set(names)), len(waiting & set(names)), len(archived)), file=sys.stderr)
        self.assertLess(len(posted & set(names)), BURST, "the stop came after the burst: nothing was tested")
        self.server.stop()
        self.server.start(port=self.port)
        self.start_service()
        self.drop_pdf("after the burst.pdf")
        self.wait_documents(names + ["after the burst.pdf"], timeout=LONG)
        self.stop_service()


if __name__ == "__main__":
    for gap in WINE_GAPS:
        print("skipped under Wine: " + gap, file=sys.stderr)
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
