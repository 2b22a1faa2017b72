"""Signals: only SIGTERM and SIGINT end the agent, and both cleanly; a signal it does not expect, a
write lease broken by a busy writer, a file size limit or Ctrl-C in its terminal costs no job."""

import errno
import os
import resource
import signal
import sys
import threading
import time
import unittest

from harness import LONG, SHORT, AgentTestCase, make_pdf, wait_until, write_file

# Signals whose default action ends or stops a process although nothing in the agent sends or
# expects them: the kernel's, the terminal's, and those that log rotation or timers send by habit.
UNEXPECTED_SIGNALS = [signal.SIGIO, signal.SIGURG, signal.SIGHUP, signal.SIGTTIN, signal.SIGTTOU, signal.SIGXFSZ,
                      signal.SIGPIPE, signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM, signal.SIGVTALRM, signal.SIGPROF,
                      signal.SIGPWR]
FILE_SIZE_LIMIT = 1024 * 1024


class PrintFolderCase(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.hot = self.folder("hot")
        self.out = self.folder("out")
        port = self.server.start()
        self.write_settings([dict(source=self.hot, destination=self.out, devicename="D")], port)
        self.register()

    def drop_and_wait_billed(self, name):
        path = os.path.join(self.hot, name)
        write_file(path, make_pdf(note=name))
        self.wait_documents([name])
        self.wait_gone(path)


class UnexpectedSignalTest(PrintFolderCase):
    def test_unexpected_signals_neither_end_nor_stop_the_agent(self):
        self.start_agent()
        for number in UNEXPECTED_SIGNALS:
            self.agent.send_signal(number)
        # A stopped agent (SIGTTIN, SIGTTOU) would be alive but bill nothing.
        self.drop_and_wait_billed("after signals.pdf")
        self.assert_running()
        self.stop_agent()

    def test_writer_appending_in_rounds_breaks_leases_without_ending_the_agent(self):
        self.start_agent()
        stop = threading.Event()
        names = []

        # A few files at a time, each opened, appended to and closed round after round until the
        # agent takes it: an open that meets the write-complete probe's lease breaks the lease, and
        # the kernel tells the agent with SIGIO. A file the agent took is not made again.
        def write_rounds():
            chunk = make_pdf()
            active = []
            while not stop.is_set():
                while len(active) < 4:
                    names.append("round %05d.pdf" % len(names))
                    active.append(names[-1])
                    with open(os.path.join(self.hot, names[-1]), "xb") as stream:
                        stream.write(chunk)
                for name in list(active):
                    try:
                        handle = os.open(os.path.join(self.hot, name), os.O_WRONLY | os.O_APPEND)
                    except FileNotFoundError:
                        active.remove(name)
                        continue
                    with open(handle, "ab") as stream:
                        stream.write(chunk)

        writer = threading.Thread(target=write_rounds, daemon=True)
        self.addCleanup(stop.set)
        writer.start()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self.agent.poll() is None:
            time.sleep(0.1)
        stop.set()
        writer.join(SHORT)
        self.assert_running()
        wait_until(lambda: not os.listdir(self.hot), LONG, "an empty hot folder",
                   lambda: "%d files left" % len(os.listdir(self.hot)))
        self.wait_documents(names, LONG)
        print("writer in rounds: %d files" % len(names))
        self.stop_agent()


class FileSizeLimitTest(PrintFolderCase):
    def test_copy_past_the_file_size_limit_fails_and_keeps_the_print_file(self):
        def limit_file_size():
            resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_SIZE_LIMIT, FILE_SIZE_LIMIT))

        self.start_agent(preexec=limit_file_size)
        big = os.path.join(self.hot, "big.pdf")
        write_file(big, make_pdf(note="x" * (2 * FILE_SIZE_LIMIT)))
        self.wait_log("--F: failed to copy file error =%d" % errno.EFBIG)
        self.wait_log("--F: source file kept =" + big)
        self.assertTrue(os.path.isfile(big))
        self.drop_and_wait_billed("small.pdf")
        self.assertEqual([a["document"] for a in self.server.activities()], ["small.pdf"])
        self.stop_agent()


class TerminalInterruptTest(PrintFolderCase):
    """Ctrl-C in a terminal sends SIGINT to the whole foreground process group."""

    def setUp(self):
        super().setUp()
        self.gate = os.path.join(self.root, "gate")
        self.seen = os.path.join(self.root, "seen")
        # A stand-in parser that answers only once the gate exists, so parses are surely in flight
        # when the signal comes; it notes each path it was given.
        script = "\n".join([
            "#!" + sys.executable,
            "import os, sys, time",
            "for line in sys.stdin:",
            "    with open(%r, 'a') as seen:" % self.seen,
            "        seen.write(line)",
            "    while not os.path.exists(%r):" % self.gate,
            "        time.sleep(0.02)",
            "    print('pages=3 pages2=0 width=8.5 length=11 format=1')",
            "    print('end', flush=True)",
            "",
        ])
        parser = os.path.join(self.install, "KlendoPrintInfo")
        write_file(parser, script.encode("utf-8"))
        os.chmod(parser, 0o755)

    def parses_in_flight(self):
        try:
            with open(self.seen) as stream:
                return len(stream.readlines())
        except FileNotFoundError:
            return 0

    def test_interrupt_of_the_process_group_stops_the_agent_and_spares_parses_in_flight(self):
        self.start_agent(new_session=True)
        names = ["in flight %d.pdf" % n for n in range(3)]
        for name in names:
            write_file(os.path.join(self.hot, name), make_pdf(note=name))
        wait_until(lambda: self.parses_in_flight() == len(names), SHORT, "every file in a parse",
                   lambda: "\n".join(self.log_lines()[-8:]))
        os.killpg(self.agent.pid, signal.SIGINT)
        # The workers had the signal long before the agent logs it; only then may they answer.
        self.wait_log("--I: stop signal %d received" % signal.SIGINT)
        write_file(self.gate, b"")
        self.wait_clean_exit()
        activities = self.server.activities()
        self.assertEqual([a["document"] for a in activities if a["pages"] != "3"], [])
        billed = {a["document"] for a in activities}
        left = set(os.listdir(self.hot))
        self.assertEqual(billed & left, set())
        self.assertEqual(billed | left, set(names))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
