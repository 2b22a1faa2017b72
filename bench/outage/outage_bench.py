#!/usr/bin/env python3
"""A long server outage, end to end, with the installed agent.

- outage: FILES PostScript files are dropped into a hot folder, CHUNK at a time, while the reference
  server answers every post with HTTP 503, so every activity is archived. Printed per chunk: wall
  milliseconds and bytes written to the disk by the agent (/proc/PID/io) per file, the first and the
  last chunk side by side. Then the server comes back (the normal reference server on the same port)
  and one more file is dropped; its acknowledged post starts the re-send at once. Printed: the time
  until every activity is stored and the archive is empty, the bytes the agent wrote meanwhile
  against the archive's size, the largest batch of XML (the agent's "--I: re-sent" lines; the request
  body adds the 25 bytes of the "activities" element), and whether every activity arrived exactly once.
- refusals: the same outage, then a server (here, in Python) that answers "0" for every activity
  whose document name holds "refuse", one file in a hundred, and "1" for the rest. One more file
  after each re-send starts the next; after ten re-sends those activities are in the rejected file
  beside the archive, the others arrived exactly once, and one more re-send sends none of them.

Usage: outage_bench.py --install DIR [--files N] [--chunk N] [--only outage,refusals]
DIR holds KlendoHotFolderAgent, KlendoPrintInfo and KlendoReferenceServer (cmake --install).
Figures are printed, nothing is asserted."""
import argparse
import http.server
import json
import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import tempfile
import threading
import time
import xml.etree.ElementTree as ElementTree

START_TIMEOUT = 30.0
ARCHIVE = "KlendoActivity.dat"
REJECTED = "KlendoActivity.rejected.dat"
BATCH_LINE = re.compile(r"--I: re-sent (\d+) pending activities \((\d+) bytes\)")
DONE_LINE = "--I: re-send of pending activities done:"
START_LINE = "--I-: Processingpendingactivities --"


def postscript(number):
    return ("%%!PS-Adobe-3.0\n%%%%Title: outage job %06d\n%%%%Pages: 1\n%%%%BoundingBox: 0 0 612 792\n"
            "%%%%EndComments\n%%%%Page: 1 1\nshowpage\n%%%%EOF\n" % number).encode("ascii")


def poll(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def stop_group(process, timeout=120.0):
    if process.poll() is None:
        os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def written_bytes(pid):
    """Bytes the process caused to be written to the disk so far."""
    with open("/proc/%d/io" % pid) as stream:
        for line in stream:
            if line.startswith("write_bytes:"):
                return int(line.split()[1])
    return 0


class ReferenceServer:
    def __init__(self, install, folder, port, *options):
        self.db = os.path.join(folder, "server.db")
        self.out = os.path.join(folder, "server.out")
        with open(self.out, "w") as out:
            self.process = subprocess.Popen(
                [os.path.join(install, "KlendoReferenceServer"), "--port", str(port), "--db", self.db] + list(options),
                stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        if not poll(lambda: "listening on" in open(self.out).read(), START_TIMEOUT, 0.01):
            raise RuntimeError("the reference server did not start: " + open(self.out).read())

    def delivered(self):
        """Stored activities with verdict 1: their count and the count of distinct ids among them."""
        with sqlite3.connect(self.db, timeout=10) as connection:
            return connection.execute(
                "SELECT count(*), count(DISTINCT id) FROM activities WHERE verdict = '1'").fetchone()

    def stop(self):
        stop_group(self.process)


class RefusingServer:
    """Takes add-activity posts and answers "0" for an activity whose document name holds "refuse",
    "1" for any other; counts what it took and refused, per id, and the largest body."""

    def __init__(self, port):
        self.acknowledged = {}
        self.refused = {}
        self.posts = 0
        self.largest_body = 0
        self.lock = threading.Lock()
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                reply = owner.answer(body)
                self.send_response(200)
                self.send_header("Content-Type", "text/xml")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *_):
                pass

        class Server(http.server.ThreadingHTTPServer):
            # The reference server it takes over from leaves its connections in TIME_WAIT on this port.
            allow_reuse_port = True

        self.server = Server(("127.0.0.1", port), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def answer(self, body):
        verdicts = []
        for activity in ElementTree.fromstring(body).findall("activity"):
            document = activity.find("document")
            name = document.get("name", "") if document is not None else ""
            verdicts.append((activity.get("id", ""), "0" if "refuse" in name else "1"))
        with self.lock:
            self.posts += 1
            self.largest_body = max(self.largest_body, len(body))
            for activity_id, verdict in verdicts:
                seen = self.acknowledged if verdict == "1" else self.refused
                seen[activity_id] = seen.get(activity_id, 0) + 1
        items = "".join('<activity id="%s" status="%s"/>' % (i.replace('"', "&quot;"), v) for i, v in verdicts)
        return ('<activities status="1">%s</activities>' % items).encode("utf-8")

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class LogFollower:
    """Reads the agent's log as it grows, from the moment it is made, across the log's roll-overs
    (the rolled file is removed, but what is still open can be read to its end). Counts the ended
    re-sends and keeps the batches the re-sends logged."""

    def __init__(self, path):
        self.path = path
        self.stream = open(path, "rb")
        self.stream.seek(0, os.SEEK_END)
        self.pending = b""
        self.resends_started = 0
        self.resends_done = 0
        self.batches = []

    def _consume(self, data):
        self.pending += data
        *lines, self.pending = self.pending.split(b"\r\n")
        for raw in lines:
            line = raw.decode("utf-8", "replace")
            if START_LINE in line:
                self.resends_started += 1
            if DONE_LINE in line:
                self.resends_done += 1
            batch = BATCH_LINE.search(line)
            if batch:
                self.batches.append((int(batch.group(1)), int(batch.group(2))))

    def update(self):
        while True:
            if self.stream is None:
                try:
                    self.stream = open(self.path, "rb")
                except FileNotFoundError:
                    return
            self._consume(self.stream.read())
            try:
                current = os.stat(self.path).st_ino == os.fstat(self.stream.fileno()).st_ino
            except FileNotFoundError:
                current = False
            if current:
                return
            self._consume(self.stream.read())
            self.stream.close()
            self.stream = None
            self.pending = b""

    def close(self):
        if self.stream:
            self.stream.close()


class Agent:
    def __init__(self, install, folder, port):
        self.home = os.path.join(folder, "agent")
        self.hot = os.path.join(folder, "hot")
        for path in (self.home, self.hot, os.path.join(folder, "dest")):
            os.makedirs(path)
        for executable in ("KlendoHotFolderAgent", "KlendoPrintInfo"):
            shutil.copy2(os.path.join(install, executable), self.home)
        with open(os.path.join(self.home, "KlendoHotFolderAgent.ini"), "w") as ini:
            ini.write("[configuration]\nhotfoldercount=1\nserveraddress=127.0.0.1\nserverport=%d\n"
                      "[hotfolder_1]\nsource=%s\ndestination=%s\ndevicename=Bench\n"
                      % (port, self.hot, os.path.join(folder, "dest")))
        env = dict(os.environ, KLENDO_REGISTRY=os.path.join(folder, "registry"))
        executable = os.path.join(self.home, "KlendoHotFolderAgent")
        subprocess.run([executable, "-RegServer"], env=env, check=True, capture_output=True, timeout=START_TIMEOUT)
        self.out = os.path.join(folder, "agent.out")
        self.log = os.path.join(self.home, "KlendoHotFolderAgent.log")
        with open(self.out, "w") as out:
            self.process = subprocess.Popen([executable], env=env, stdout=out, stderr=subprocess.STDOUT,
                                            start_new_session=True)
        if not poll(lambda: os.path.exists(self.log) and "--I : monitor status = " in self.log_text(),
                    START_TIMEOUT, 0.01):
            raise RuntimeError("the agent did not start: " + open(self.out).read())

    def path(self, name):
        return os.path.join(self.home, name)

    def log_text(self):
        with open(self.log, "rb") as stream:
            return stream.read().decode("utf-8", "replace")

    def archived(self):
        try:
            with open(self.path(ARCHIVE), "rb") as stream:
                return stream.read().count(b"<activity ")
        except FileNotFoundError:
            return 0

    def archive_bytes(self):
        try:
            return os.path.getsize(self.path(ARCHIVE))
        except FileNotFoundError:
            return 0

    def stop(self):
        stop_group(self.process)


def drop_outage(args, agent, staging, names):
    """Drops the files a chunk at a time; returns (files, ms per file, bytes written per file) per chunk."""
    chunks = []
    for start in range(0, len(names), args.chunk):
        chunk = names[start:start + args.chunk]
        written_before = written_bytes(agent.process.pid)
        began = time.monotonic()
        for name in chunk:
            os.rename(os.path.join(staging, name), os.path.join(agent.hot, name))
        # A file leaves the hot folder once its activity is safe: here, archived.
        if not poll(lambda: not os.listdir(agent.hot), args.timeout, 0.02):
            raise RuntimeError("chunk at %d not archived within %.0f s" % (start, args.timeout))
        elapsed = time.monotonic() - began
        written = written_bytes(agent.process.pid) - written_before
        chunks.append((len(chunk), 1000.0 * elapsed / len(chunk), written / len(chunk)))
    return chunks


def stage(folder, names, first_number):
    staging = os.path.join(folder, "staging")
    os.makedirs(staging)
    for number, name in enumerate(names, start=first_number):
        with open(os.path.join(staging, name), "wb") as stream:
            stream.write(postscript(number))
    return staging


def print_outage(chunks, agent):
    print("%-28s %8s %12s %16s" % ("outage chunk", "files", "ms/file", "disk bytes/file"))
    for label, (files, ms, written) in (("first", chunks[0]), ("last", chunks[-1])):
        print("%-28s %8d %12.2f %16.0f" % ("outage: %s chunk" % label, files, ms, written))
    print("outage: archive %.1f MB, %d activities" % (agent.archive_bytes() / 1e6, agent.archived()))


def batch_figures(follower):
    batches = follower.batches
    return len(batches), max((size for _, size in batches), default=0), max((count for count, _ in batches), default=0)


def run_outage(args):
    folder = tempfile.mkdtemp(prefix="klendo-outage-", dir=args.tmp)
    port = free_port()
    server = ReferenceServer(args.install, folder, port, "--http-status", "503")
    agent = Agent(args.install, folder, port)
    try:
        names = ["job%06d.ps" % i for i in range(args.files)]
        staging = stage(folder, names, 0)
        print("\n== Outage: %d files dropped %d at a time while the server answers HTTP 503, then the server back"
              % (args.files, args.chunk))
        chunks = drop_outage(args, agent, staging, names)
        print_outage(chunks, agent)
        archive_bytes = agent.archive_bytes()
        server.stop()
        server = ReferenceServer(args.install, folder, port)
        follower = LogFollower(agent.log)
        written_before = written_bytes(agent.process.pid)
        began = time.monotonic()
        with open(os.path.join(agent.hot, "trigger.ps"), "wb") as stream:
            stream.write(postscript(args.files))

        def delivered():
            follower.update()
            return agent.archive_bytes() == 0 and server.delivered()[0] >= args.files + 1

        done = poll(delivered, args.timeout, 0.2)
        elapsed = time.monotonic() - began
        written = written_bytes(agent.process.pid) - written_before
        follower.update()
        follower.close()
        stored, distinct = server.delivered()
        batches, largest, most = batch_figures(follower)
        print("drain: %.1f s to deliver %d archived activities%s; %d batches, at most %d activities and %d bytes"
              " of XML (request body +25)" % (elapsed, args.files, "" if done else " (TIMED OUT)", batches, most,
                                             largest))
        print("drain: agent wrote %.1f MB to the disk for an archive of %.1f MB (%.2fx)"
              % (written / 1e6, archive_bytes / 1e6, written / max(archive_bytes, 1)))
        print("drain: stored with verdict 1: %d, distinct ids %d, expected %d; archive left %d"
              % (stored, distinct, args.files + 1, agent.archived()))
    finally:
        agent.stop()
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)


def run_refusals(args):
    folder = tempfile.mkdtemp(prefix="klendo-refusals-", dir=args.tmp)
    port = free_port()
    outage = ReferenceServer(args.install, folder, port, "--http-status", "503")
    agent = Agent(args.install, folder, port)
    server = None
    try:
        names = [("refuse%06d.ps" if i % 100 == 99 else "job%06d.ps") % i for i in range(args.files)]
        refused_names = [name for name in names if name.startswith("refuse")]
        staging = stage(folder, names, 0)
        print("\n== Refusals: %d files dropped during an outage (HTTP 503), then a server that answers \"0\" for the"
              " %d whose name holds \"refuse\"" % (args.files, len(refused_names)))
        print_outage(drop_outage(args, agent, staging, names), agent)
        outage.stop()
        server = RefusingServer(port)
        follower = LogFollower(agent.log)
        began = time.monotonic()
        tenth = 0
        for round_number in range(1, 11):
            done_before = follower.resends_done

            def resent():
                follower.update()
                return follower.resends_done > done_before and not os.listdir(agent.hot)

            with open(os.path.join(agent.hot, "trigger%02d.ps" % round_number), "wb") as stream:
                stream.write(postscript(args.files + round_number))
            if not poll(resent, args.timeout, 0.1):
                print("refusals: re-send %d did not end within %.0f s" % (round_number, args.timeout))
                break
            tenth = time.monotonic() - began
        # One more: with nothing left in the archive it ends right after it started, posting nothing.
        posts_after_tenth = server.posts
        started_before = follower.resends_started

        def started():
            follower.update()
            return follower.resends_started > started_before and not os.listdir(agent.hot)

        with open(os.path.join(agent.hot, "trigger11.ps"), "wb") as stream:
            stream.write(postscript(args.files + 11))
        poll(started, args.timeout, 0.1)
        time.sleep(1.0)
        follower.close()
        rejected = 0
        try:
            with open(agent.path(REJECTED), "rb") as stream:
                text = stream.read().decode("utf-8", "replace")
            rejected = text.count("<activity ")
            rejected_named = sum(1 for name in refused_names if 'name="%s"' % name in text)
        except FileNotFoundError:
            rejected_named = 0
        with server.lock:
            acknowledged = dict(server.acknowledged)
            refused = dict(server.refused)
        twice = sum(1 for count in acknowledged.values() if count > 1)
        print("refusals: ten re-sends took %.1f s; rejected file holds %d activities (%d of the %d refused names);"
              " archive left %d" % (tenth, rejected, rejected_named, len(refused_names), agent.archived()))
        print("refusals: acknowledged %d distinct activities (expected %d), %d of them more than once; refused %d"
              " activities, each at most %d times" % (len(acknowledged), args.files - len(refused_names) + 11, twice,
                                                        len(refused), max(refused.values(), default=0)))
        print("refusals: posts of the eleventh re-send beyond its trigger: %d (none re-sent); largest body %d bytes"
              % (server.posts - posts_after_tenth - 1, server.largest_body))
    finally:
        agent.stop()
        outage.stop()
        if server:
            server.stop()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--install", required=True)
    parser.add_argument("--files", type=int, default=30000)
    parser.add_argument("--chunk", type=int, default=1000)
    parser.add_argument("--timeout", type=float, default=600.0, help="longest wait for one step")
    parser.add_argument("--tmp", default=None, help="folder for the temporary folders (default: the system's)")
    parser.add_argument("--only", default="outage,refusals")
    args = parser.parse_args()
    args.install = os.path.abspath(args.install)
    runs = {"outage": run_outage, "refusals": run_refusals}
    for name in args.only.split(","):
        runs[name](args)


main()
