"""The status line the agent sends systemd (sd_notify STATUS=) when it runs as a service: the agent is
registered with -Service and started with NOTIFY_SOCKET pointing at a datagram socket of the test."""

import os
import signal
import socket
import subprocess
import sys
import threading
import unittest

from harness import LONG, SHORT, AgentTestCase, OutputReader, _end_with_the_test, free_port, make_pdf, \
    wait_until, write_file


class NotifyListener:
    """The service manager's end of NOTIFY_SOCKET: every datagram, in arrival order."""

    def __init__(self, path):
        self.path = path
        self.messages = []
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._socket.bind(path)
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while True:
            try:
                data = self._socket.recv(65536)
            except OSError:
                return
            self.messages.extend(data.decode("utf-8", "replace").split("\n"))

    def statuses(self, since=0):
        return [m[len("STATUS="):] for m in self.messages[since:] if m.startswith("STATUS=")]

    def wait_status(self, text):
        wait_until(lambda: any(text in s for s in self.statuses()), LONG, "status %r" % text,
                   lambda: repr(self.statuses()[-3:]))
        return next(i for i, m in enumerate(self.messages) if m.startswith("STATUS=") and text in m)

    def close(self):
        self._socket.close()


class ServiceStatusTest(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.hot, self.out = self.folder("hot"), self.folder("out")
        self.port = free_port()
        self.write_settings([dict(source=self.hot, destination=self.out, devicename="P1")], self.port)
        self.environment["KLENDO_SYSTEMD_DIR"] = self.folder("units")
        done = subprocess.run([self.agent_path, "-Service"], env=self.environment, capture_output=True,
                              timeout=SHORT)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.listener = NotifyListener(os.path.join(self.root, "notify"))
        self.addCleanup(self.listener.close)

    def start_service(self):
        environment = dict(self.environment, NOTIFY_SOCKET=self.listener.path)
        self.agent = subprocess.Popen([self.agent_path], env=environment, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, preexec_fn=_end_with_the_test)
        self.agent_output = OutputReader(self.agent.stdout)
        wait_until(lambda: "READY=1" in self.listener.messages or self.agent.poll() is not None, SHORT,
                   "READY=1", self.agent_output.text)
        self.assert_running()

    def drop(self, names):
        for name in names:
            write_file(os.path.join(self.hot, name), make_pdf(note=name))

    def test_status_follows_a_burst_and_stays_quiet_while_idle(self):
        self.server.start(port=self.port)
        self.start_service()
        self.listener.wait_status("Folders watched: 1; jobs posted: 0, archived: 0, pending: 0; no successful post yet")
        burst = ["burst-%02d.pdf" % n for n in range(30)]
        self.drop(burst)
        self.wait_documents(burst, LONG)
        self.listener.wait_status("jobs posted: 30, archived: 0, pending: 0; last successful post: ")

        self.server.stop()
        self.drop(["outage-%d.pdf" % n for n in range(3)])
        self.listener.wait_status("jobs posted: 30, archived: 3, pending: 3;")
        # The next acknowledged post sends the archive again at once.
        self.server.start(port=self.port)
        self.drop(["back.pdf"])
        final = self.listener.wait_status("jobs posted: 31, archived: 3, pending: 0; last successful post: ")

        # Idle from here on: a settings check beside the agent, then the stop. Nothing changes, so no
        # line may come between the last status and the stop.
        check = subprocess.run([self.agent_path, "-Check"], env=self.environment, capture_output=True,
                               timeout=LONG)
        self.assertEqual(check.returncode, 0, check.stdout)
        self.agent.send_signal(signal.SIGTERM)
        self.assertEqual(self.agent.wait(LONG), 0)
        wait_until(lambda: "STOPPING=1" in self.listener.messages, SHORT, "STOPPING=1")
        stopping = self.listener.messages.index("STOPPING=1")
        between = [m for m in self.listener.messages[final + 1:stopping] if m.startswith("STATUS=")]
        self.assertEqual(between, [], "status lines while idle")
        statuses = self.listener.statuses()
        repeated = [a for a, b in zip(statuses, statuses[1:]) if a == b]
        self.assertEqual(repeated, [], "a status line was sent again without a change")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
