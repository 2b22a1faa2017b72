"""Shared pieces of the whole-system tests: an installed agent in a temporary folder, the reference
server, polling with deadlines, and small print files.

The executables come from the environment (KLENDO_AGENT, KLENDO_PRINTINFO, KLENDO_SERVER), set by
CTest. Every wait has a deadline and fails with a message that says what was awaited and what was
seen; every process started here is killed in tearDown, so a failing test leaves nothing running.
"""

import ctypes
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.request

CLOSING_LINE = "CLogFile::Close - INFORMATION- Closing the LOG file .."
PR_SET_PDEATHSIG = 1
# Loaded before any fork: the child of a threaded process must not load libraries.
_LIBC = ctypes.CDLL(None)
LOG_LINE = re.compile(r"^ *\d+ \d\d/\d\d \d\d:\d\d:\d\d ")

# The machine is shared and loaded; deadlines are generous because they only bound a failure.
SHORT = 30.0
LONG = 120.0


def executable(name):
    path = os.environ.get(name)
    if not path or not os.path.isfile(path):
        raise unittest.SkipTest("%s is not set to a built executable" % name)
    return path


def _end_with_the_test():
    """Runs in the child before exec: the kernel kills it when the test process dies, so a test
    ended by CTest's time limit leaves no agent or server behind."""
    _LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def wait_until(predicate, timeout, what, state=lambda: ""):
    """Polls predicate until it returns a true value (which is returned); fails after timeout."""
    deadline = time.monotonic() + timeout
    interval = 0.02
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("waited %.0f s for %s; seen: %s" % (timeout, what, state()))
        time.sleep(interval)
        interval = min(interval * 1.5, 0.25)


def free_port():
    """A port nothing listens on right now (the kernel's pick, released again)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def make_pdf(pages=1, width=612, height=792, note=""):
    """A small valid PDF with a correct cross-reference table; note makes files differ."""
    objects = ["<< /Type /Catalog /Pages 2 0 R >>"]
    kids = " ".join("%d 0 R" % (3 + i) for i in range(pages))
    objects.append("<< /Type /Pages /Kids [%s] /Count %d /MediaBox [0 0 %d %d] >>" % (kids, pages, width, height))
    for _ in range(pages):
        objects.append("<< /Type /Page /Parent 2 0 R >>")
    body = b"%PDF-1.4\n%" + note.encode("utf-8", "replace").replace(b"\n", b" ") + b"\n"
    offsets = []
    for number, text in enumerate(objects, start=1):
        offsets.append(len(body))
        body += ("%d 0 obj\n%s\nendobj\n" % (number, text)).encode("ascii")
    xref = len(body)
    body += ("xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)).encode("ascii")
    for offset in offsets:
        body += ("%010d 00000 n \n" % offset).encode("ascii")
    body += ("trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)).encode(
        "ascii"
    )
    return body


def write_file(path, data):
    with open(path, "wb") as stream:
        stream.write(data)


def read_text(path):
    """The file's text; empty while the agent has not made it yet."""
    try:
        with open(path, "rb") as stream:
            return stream.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""


class OutputReader:
    """Drains a child's combined output on a thread so the child never blocks on a full pipe."""

    def __init__(self, stream):
        self.lines = []
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self._thread.start()

    def _run(self, stream):
        for raw in iter(stream.readline, b""):
            with self._lock:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
        stream.close()

    def has(self, line):
        with self._lock:
            return line in self.lines

    def text(self, last=20):
        with self._lock:
            return "\n".join(self.lines[-last:])

    def join(self):
        self._thread.join(10)


class ReferenceServer:
    """KlendoReferenceServer on 127.0.0.1 with its database in the test's folder."""

    def __init__(self, path, database):
        self._path = path
        self.database = database
        self.process = None
        self.port = None

    def start(self, *options, port=0):
        self.process = subprocess.Popen(
            [self._path, "--port", str(port), "--db", self.database] + list(options),
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            preexec_fn=_end_with_the_test,
        )
        self._output = OutputReader(self.process.stdout)
        line = wait_until(
            lambda: next((l for l in self._output.lines if "listening on" in l), None)
            or self.process.poll() is not None and "exited",
            SHORT,
            "the reference server to listen",
            self._output.text,
        )
        if line == "exited":
            raise AssertionError("reference server exited: %s" % self._output.text())
        self.port = int(line.rsplit(":", 1)[1])
        return self.port

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(SHORT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process:
            self._output.join()
        self.process = None

    def activities(self):
        """Every stored activity, as the running server lists them."""
        url = "http://127.0.0.1:%d/activities?after=0&limit=100000" % self.port
        with urllib.request.urlopen(url, timeout=SHORT) as reply:
            return json.loads(reply.read().decode("utf-8"))

    def documents(self):
        return [activity["document"] for activity in self.activities()]


class AgentFiles:
    """The log and archive of an installed agent and the server it posts to, as a test sees them; the
    test sets self.log_path, self.archive_path and self.server."""

    def log_text(self):
        return read_text(self.log_path)

    def log_lines(self):
        return [line for line in self.log_text().split("\r\n") if line]

    def wait_log(self, text, timeout=SHORT):
        wait_until(lambda: text in self.log_text(), timeout, "log text %r" % text,
                   lambda: "\n".join(self.log_lines()[-8:]))

    def archive_text(self):
        return read_text(self.archive_path)

    def wait_documents(self, names, timeout=SHORT):
        """Waits until the server holds an activity for every name; returns the activities."""
        wanted = set(names)
        seen = []

        def arrived():
            seen[:] = self.server.activities()
            return wanted <= {a["document"] for a in seen}

        def state():
            missing = sorted(wanted - {a["document"] for a in seen})[:5]
            return "%d stored, missing %r; log: %s" % (len(seen), missing, "\n".join(self.log_lines()[-8:]))

        wait_until(arrived, timeout, "%d activities" % len(wanted), state)
        return seen

    def wait_gone(self, path, timeout=SHORT):
        wait_until(lambda: not os.path.lexists(path), timeout, "removal of %r" % path,
                   lambda: "\n".join(self.log_lines()[-8:]))


class AgentTestCase(AgentFiles, unittest.TestCase):
    """One installed agent per test: its executables, settings, registry, log and archive live in a
    temporary folder, beside hot folders and destinations made with folder()."""

    def setUp(self):
        self.agent_source = executable("KLENDO_AGENT")
        self.printinfo_source = executable("KLENDO_PRINTINFO")
        self.server_path = executable("KLENDO_SERVER")
        self.root = tempfile.mkdtemp(prefix="klendo-e2e-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.install = os.path.join(self.root, "install")
        os.mkdir(self.install)
        self.agent_path = os.path.join(self.install, "KlendoHotFolderAgent")
        shutil.copy2(self.agent_source, self.agent_path)
        shutil.copy2(self.printinfo_source, os.path.join(self.install, "KlendoPrintInfo"))
        self.log_path = os.path.join(self.install, "KlendoHotFolderAgent.log")
        self.archive_path = os.path.join(self.install, "KlendoActivity.dat")
        self.environment = {k: v for k, v in os.environ.items() if not k.startswith("KLENDO_") and k != "NOTIFY_SOCKET"}
        self.environment["KLENDO_REGISTRY"] = os.path.join(self.root, "registry")
        self.agent = None
        self.server = ReferenceServer(self.server_path, os.path.join(self.root, "server.db"))
        self.addCleanup(self._end_processes)

    def _end_processes(self):
        if self.agent and self.agent.poll() is None:
            self.agent.kill()
            self.agent.wait()
        self.server.stop()

    def folder(self, *parts):
        path = os.path.join(self.root, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    def write_settings(self, folders, port, address="127.0.0.1", raw_lines=()):
        """folders: dicts of hot folder keys; raw_lines are added to [configuration] as they stand."""
        lines = ["[configuration]", "hotfoldercount=%d" % len(folders), "serveraddress=" + address,
                 "serverport=%s" % port]
        lines += list(raw_lines)
        for number, keys in enumerate(folders, start=1):
            lines.append("[hotfolder_%d]" % number)
            lines += ["%s=%s" % item for item in keys.items()]
        self.write_settings_text("\r\n".join(lines) + "\r\n")

    def write_settings_text(self, text):
        data = text.encode("utf-8") if isinstance(text, str) else text
        write_file(os.path.join(self.install, "KlendoHotFolderAgent.ini"), data)

    def register(self):
        done = subprocess.run([self.agent_path, "-RegServer"], env=self.environment, capture_output=True,
                              timeout=SHORT)
        self.assertEqual(done.returncode, 0, done.stderr)

    def start_agent(self, preexec=None, new_session=False):
        """preexec runs in the child before exec (resource limits, say); new_session starts the
        agent in a session and process group of its own, apart from the test's."""

        def prepare():
            _end_with_the_test()
            if preexec:
                preexec()

        self.agent = subprocess.Popen([self.agent_path], env=self.environment, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, preexec_fn=prepare, start_new_session=new_session)
        self.agent_output = OutputReader(self.agent.stdout)
        wait_until(lambda: self.agent_output.has("Service started") or self.agent.poll() is not None,
                   SHORT, "the agent to start", self.agent_output.text)
        self.assertIsNone(self.agent.poll(), "agent exited at start: " + self.agent_output.text())
        # Every folder is watched once this line is written; a ticket folder misses, by design,
        # tickets that arrive before its watch.
        self.wait_log("--I : monitor status = ")

    def stop_agent(self):
        """SIGTERM, then a clean stop."""
        self.assertIsNone(self.agent.poll(), "agent died before the stop: " + self.agent_output.text())
        self.agent.send_signal(signal.SIGTERM)
        self.wait_clean_exit()

    def wait_clean_exit(self):
        """The agent ends after a stop it was sent: exit 0, "Service stopped", the closing log line last."""
        code = self.agent.wait(LONG)
        self.agent_output.join()
        self.assertEqual(code, 0, self.agent_output.text())
        self.assertTrue(self.agent_output.has("Service stopped"), self.agent_output.text())
        self.assertTrue(self.log_lines()[-1].endswith(CLOSING_LINE), self.log_lines()[-3:])

    def kill_agent(self):
        self.agent.kill()
        self.agent.wait()
        self.agent_output.join()

    def assert_running(self):
        self.assertIsNone(self.agent.poll(), "agent is gone: " + self.agent_output.text())



class OneFolderTestCase(AgentTestCase):
    """An agent with one print hot folder ("hot", copied to "out") posting to a server on a port
    chosen here; the test starts the server when it wants it up."""

    def setUp(self):
        super().setUp()
        self.hot = self.folder("hot")
        self.out = self.folder("out")
        self.port = free_port()
        self.write_settings([dict(source=self.hot, destination=self.out, devicename="P1")], self.port)
        self.register()

    def drop(self, name):
        path = os.path.join(self.hot, name)
        write_file(path, make_pdf(note=name))
        return path

    def archived_count(self):
        return self.archive_text().count("<activity ")


class ProcessSampler:
    """Peak thread count and resident memory of a process, sampled from /proc on a thread."""

    def __init__(self, pid, interval=0.02):
        self.peak_threads = 0
        self.peak_rss_kib = 0
        self._pid = pid
        self._interval = interval
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            try:
                with open("/proc/%d/status" % self._pid) as stream:
                    for line in stream:
                        if line.startswith("Threads:"):
                            self.peak_threads = max(self.peak_threads, int(line.split()[1]))
                        elif line.startswith("VmRSS:"):
                            self.peak_rss_kib = max(self.peak_rss_kib, int(line.split()[1]))
            except (OSError, ValueError):
                return
            self._stop.wait(self._interval)

    def stop(self):
        self._stop.set()
        self._thread.join(5)
