#!/usr/bin/env python3
"""End-to-end figures of the installed agent, side by side with two peers doing the same job in the
same run: copy each file to the destination, post the same activity XML to the same reference
server, delete the file. The peers are a shell pipeline (inotifywait | while read: cp, curl, rm) and
a Python script on watchdog with urllib; both handle one file at a time and, unlike the agent, read
no page count (the XML is the agent's own post with the id, name and time replaced).

- throughput: N small PostScript files are written to a staging folder, then renamed at once into
  one hot folder; the time runs from the first rename until the server stored N activities and the
  hot folder is empty. Every peer gets a fresh server database.
- latency: files written straight into the hot folder, one after the other; the time runs from
  the writer's close to the "received" stamp the server stores (local time, whole milliseconds).
- idle: CPU time and context switches (every one is a wake-up) of each process group watching
  the idle folders, and its resident memory.
- spawn: CPU and wall time of one start of each child process a file costs the agent and the shell
  peer, which is what bounds both on a busy machine.
- held: the agent alone, two hot folders; the time for M files renamed into one of them, with and
  without H files of the other held open by their writer (every request slot has been given a held
  file before the M come), and how long the held files take to arrive once the writer lets go.

With --baseline DIR the peers are the installed agent and an earlier build of it (DIR, installed the
same way), against the same reference server: throughput, CPU per file and the connections the
server accepted, before and after.

Usage: e2e_bench.py --install DIR [--baseline DIR] [--files N] [--repeats N] [--latency-files N]
                    [--idle-folders N] [--idle-seconds S] [--budget S]
                    [--held-files H] [--free-files M]
                    [--only throughput,latency,idle,spawn,held]
DIR holds KlendoHotFolderAgent, KlendoPrintInfo and KlendoReferenceServer (cmake --install)."""
import argparse
import os
import re
import resource
import shutil
import signal
import sqlite3
import statistics
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PEER_PYTHON = "/usr/bin/python3"
POST_PATH = "/KlendoWebServices/KlendoWebServicesExt.dll?AddKlendoActivity"
START_TIMEOUT = 30.0
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
# Requests the agent runs at once.
REQUEST_SLOTS = 128


def postscript(number):
    return ("%%!PS-Adobe-3.0\n%%%%Creator: e2e_bench\n%%%%Title: job %06d\n%%%%Pages: 1\n"
            "%%%%BoundingBox: 0 0 612 792\n%%%%DocumentMedia: Letter 612 792 0 () ()\n%%%%EndComments\n"
            "%%%%Page: 1 1\n/Helvetica findfont 12 scalefont setfont\n72 720 moveto (Benchmark job %06d) show\n"
            "showpage\n%%%%Trailer\n%%%%EOF\n" % (number, number)).encode("ascii")


def wait_for_text(path, text, process, timeout=START_TIMEOUT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError("%s ended with %s before printing %r" % (process.args[0], process.returncode, text))
        with open(path, errors="replace") as f:
            if text in f.read():
                return
        time.sleep(0.01)
    raise RuntimeError("no %r in %s after %.0f s" % (text, path, timeout))


def stop_group(process, timeout=40.0):
    """SIGTERM to the process group this run started (start_new_session), then wait for its leader."""
    if process.poll() is None:
        os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    try:
        os.killpg(process.pid, signal.SIGKILL)  # what is left of a pipeline after its leader ended
    except ProcessLookupError:
        pass


class Server:
    def __init__(self, install, folder):
        self.db = os.path.join(folder, "server.db")
        self.out = os.path.join(folder, "server.out")
        with open(self.out, "w") as out:
            self.process = subprocess.Popen(
                [os.path.join(install, "KlendoReferenceServer"), "--port", "0", "--db", self.db],
                stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        wait_for_text(self.out, "listening on", self.process)
        with open(self.out) as f:
            self.address, self.port = re.search(r"listening on (\S+):(\d+)", f.read()).groups()
        self.url = "http://%s:%s%s" % (self.address, self.port, POST_PATH)
        self.connection = sqlite3.connect(self.db, timeout=10)

    def count(self):
        return self.connection.execute("SELECT count(*) FROM activities").fetchone()[0]

    def rows(self):
        return self.connection.execute("SELECT document, received, xml FROM activities ORDER BY seq").fetchall()

    def first_received(self, name):
        row = self.connection.execute("SELECT min(received) FROM activities WHERE document LIKE ?",
                                      ("%" + name,)).fetchone()
        return row[0]

    def stop(self):
        """Stops the server; its last line tells how many connections it accepted."""
        self.connection.close()
        stop_group(self.process)
        with open(self.out, errors="replace") as f:
            found = re.search(r"(\d+) connections", f.read())
        self.connections = int(found.group(1)) if found else None


class Agent:
    def __init__(self, install, name="KlendoHotFolderAgent"):
        self.install = install
        self.name = name

    def start(self, folder, hot_folders, dest, server, _template):
        home = os.path.join(folder, "agent")
        os.makedirs(home)
        for executable in ("KlendoHotFolderAgent", "KlendoPrintInfo"):
            shutil.copy2(os.path.join(self.install, executable), home)
        with open(os.path.join(home, "KlendoHotFolderAgent.ini"), "w") as ini:
            ini.write("[configuration]\nhotfoldercount=%d\nserveraddress=%s\nserverport=%s\n"
                      % (len(hot_folders), server.address, server.port))
            for number, hot in enumerate(hot_folders, start=1):
                ini.write("[hotfolder_%d]\nsource=%s\ndestination=%s\ndevicename=Bench\n" % (number, hot, dest))
        env = dict(os.environ, KLENDO_REGISTRY=os.path.join(folder, "registry"))
        agent = os.path.join(home, "KlendoHotFolderAgent")
        subprocess.run([agent, "-RegServer"], env=env, check=True, capture_output=True, timeout=START_TIMEOUT)
        self.out = os.path.join(folder, "agent.out")
        self.log = os.path.join(home, "KlendoHotFolderAgent.log")
        with open(self.out, "w") as out:
            self.process = subprocess.Popen([agent], env=env, stdout=out, stderr=subprocess.STDOUT,
                                            start_new_session=True)
        wait_for_text(self.out, "Service started", self.process)

    def stop(self):
        stop_group(self.process)


class ShellPeer:
    name = "shell inotifywait|cp+curl+rm"

    def start(self, folder, hot_folders, dest, server, template):
        self.err = os.path.join(folder, "shell.err")
        with open(self.err, "w") as err:
            self.process = subprocess.Popen(
                ["bash", os.path.join(HERE, "shell_peer.sh"), dest, server.url, template] + hot_folders,
                stdout=subprocess.DEVNULL, stderr=err, start_new_session=True)
        wait_for_text(self.err, "Watches established.", self.process)

    def stop(self):
        stop_group(self.process)


class WatchdogPeer:
    name = "python watchdog+urllib"

    def start(self, folder, hot_folders, dest, server, template):
        self.out = os.path.join(folder, "watchdog.out")
        with open(self.out, "w") as out:
            self.process = subprocess.Popen(
                [PEER_PYTHON, os.path.join(HERE, "watchdog_peer.py"), dest, server.url, template]
                + hot_folders, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        wait_for_text(self.out, "ready", self.process)

    def stop(self):
        stop_group(self.process)


def make_template(install, folder):
    """The agent's own post for one file, with its id, document name and time made placeholders."""
    server = Server(install, folder)
    hot, dest = os.path.join(folder, "hot"), os.path.join(folder, "dest")
    os.makedirs(hot)
    os.makedirs(dest)
    agent = Agent(install)
    agent.start(folder, [hot], dest, server, None)
    try:
        with open(os.path.join(hot, "job.ps"), "wb") as f:
            f.write(postscript(0))
        if not poll(lambda: server.count() >= 1, START_TIMEOUT):
            raise RuntimeError("the agent posted nothing within %.0f s; see %s" % (START_TIMEOUT, agent.log))
        xml = server.rows()[0][2]
    finally:
        agent.stop()
        server.stop()
    xml = re.sub(r'(<activity\b[^>]*?\sid=")[^"]*', r"\1@ID@", xml, count=1)
    xml = re.sub(r'(<document\b[^>]*?\sname=")[^"]*', r"\1@NAME@", xml, count=1)
    xml = re.sub(r'(<document\b[^>]*?\sdatetime=")[^"]*', r"\1@DATETIME@", xml, count=1)
    if "@ID@" not in xml or "@NAME@" not in xml or "@DATETIME@" not in xml:
        raise RuntimeError("unexpected activity XML from the agent: " + xml)
    return "<activities>" + xml + "</activities>"


def poll(predicate, timeout, interval=0.005):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


class Run:
    """One peer against a fresh server in a fresh folder; the folder is removed afterwards."""

    def __init__(self, args, peer, hot_count=1):
        self.args, self.peer = args, peer
        self.folder = tempfile.mkdtemp(prefix="klendo-e2e-", dir=args.tmp)
        self.hot = [os.path.join(self.folder, "hot%d" % i) for i in range(1, hot_count + 1)]
        self.dest = os.path.join(self.folder, "dest")
        for path in self.hot + [self.dest]:
            os.makedirs(path)

    def __enter__(self):
        self.server = Server(self.args.install, self.folder)
        template = os.path.join(self.folder, "template.xml")
        with open(template, "w") as f:
            f.write(self.args.template)
        try:
            self.peer.start(self.folder, self.hot, self.dest, self.server, template)
        except Exception:
            self.server.stop()
            raise
        return self

    def __exit__(self, *_):
        self.peer.stop()
        self.server.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


def throughput_once(args, peer):
    with Run(args, peer) as run:
        figures = throughput_figures(args, peer, run)
    figures["connections"] = run.server.connections
    return figures


def throughput_figures(args, peer, run):
    """One throughput run of the peer in the running Run; the connections are added after the stop."""
    staging = os.path.join(run.folder, "staging")
    os.makedirs(staging)
    names = ["job%06d.ps" % i for i in range(args.files)]
    for number, name in enumerate(names):
        with open(os.path.join(staging, name), "wb") as f:
            f.write(postscript(number))
    hot = run.hot[0]
    cpu_before = group_cpu_ticks(run.peer.process.pid), group_cpu_ticks(run.server.process.pid)
    start = time.monotonic()
    for name in names:
        os.rename(os.path.join(staging, name), os.path.join(hot, name))
    done = poll(lambda: run.server.count() >= args.files and not os.listdir(hot), args.timeout, 0.01)
    elapsed = time.monotonic() - start
    cpu_after = group_cpu_ticks(run.peer.process.pid), group_cpu_ticks(run.server.process.pid)
    peer_cpu, server_cpu = ((a - b) * 1000.0 / CLOCK_TICKS / args.files for a, b in zip(cpu_after, cpu_before))
    documents = [row[0] for row in run.server.rows()]
    peak_kb = resident_kb(run.peer.process.pid, "VmHWM") if isinstance(peer, Agent) else None
    return {"seconds": elapsed, "done": done, "stored": len(documents), "distinct": len(set(documents)),
            "left": len(os.listdir(hot)), "copied": len(os.listdir(run.dest)), "peak_kb": peak_kb,
            "peer_cpu": peer_cpu, "server_cpu": server_cpu}


def received_epoch(text):
    seconds, _, millis = text.partition(".")
    return time.mktime(time.strptime(seconds, "%Y-%m-%d %H:%M:%S")) + int(millis or 0) / 1000.0


def latency_once(args, peer):
    latencies = []
    with Run(args, peer) as run:
        hot = run.hot[0]
        for number in range(args.latency_files):
            path = os.path.join(hot, "single%04d.ps" % number)
            writer = open(path, "wb")
            writer.write(postscript(number))
            writer.flush()
            closed = time.time()  # taken before the close: a writer preempted after it would make it late
            writer.close()
            if not poll(lambda: run.server.count() > number and not os.path.exists(path), 30, 0.002):
                break
            latencies.append(1000.0 * (received_epoch(run.server.first_received(os.path.basename(path))) - closed))
            time.sleep(0.05)  # one file at a time: the next one meets a settled peer
    return latencies


def group_pids(pgid):
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rpartition(")")[2].split()
            except OSError:
                continue
            if int(fields[2]) == pgid:
                pids.append(int(entry))
    return pids


def read_field(path, key):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def resident_kb(pid, key="VmRSS"):
    return read_field("/proc/%d/status" % pid, key)


def group_cpu_ticks(pgid):
    """CPU ticks of a process group's processes and of the children they already waited for."""
    ticks = 0
    for pid in group_pids(pgid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rpartition(")")[2].split()
        except OSError:
            continue
        ticks += sum(int(value) for value in fields[11:15])
    return ticks


def group_figures(pgid):
    """CPU ticks, context switches over every thread, resident kB and threads of a process group."""
    ticks = switches = rss = threads = 0
    for pid in group_pids(pgid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rpartition(")")[2].split()
            tasks = os.listdir("/proc/%d/task" % pid)
        except OSError:
            continue
        ticks += int(fields[11]) + int(fields[12])
        rss += resident_kb(pid)
        threads += len(tasks)
        for task in tasks:
            status = "/proc/%d/task/%s/status" % (pid, task)
            switches += read_field(status, "voluntary_ctxt_switches") + read_field(status, "nonvoluntary_ctxt_switches")
    return ticks, switches, rss, threads


def idle_once(args, peers):
    """Every peer watches its own idle folders at the same time; they share nothing but the clock."""
    runs = []
    try:
        for peer in peers:
            runs.append(Run(args, peer, args.idle_folders).__enter__())
        time.sleep(2.0)  # let start-up work (scans, first timers) settle
        before = [group_figures(run.peer.process.pid) for run in runs]
        time.sleep(args.idle_seconds)
        after = [group_figures(run.peer.process.pid) for run in runs]
    finally:
        for run in runs:
            run.__exit__()
    return [{"cpu_ms": 1000.0 * (a[0] - b[0]) / CLOCK_TICKS, "wakeups": a[1] - b[1], "rss_kb": a[2],
             "threads": a[3]} for b, a in zip(before, after)]


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def report_throughput(args, peers):
    print("\n== Throughput: %d PostScript files of %d bytes renamed at once from a staging folder into one hot"
          " folder,\n   until the server stored all and the hot folder is empty; up to %d runs per peer, the peers"
          " taking turns\n   (fewer once a peer's runs took %.0f s), medians; connections = those the server"
          " accepted" % (args.files, len(postscript(0)), args.repeats, args.budget))
    results = {peer.name: [] for peer in peers}
    spent = {peer.name: 0.0 for peer in peers}
    for _ in range(args.repeats):
        for peer in peers:
            if results[peer.name] and spent[peer.name] >= args.budget:
                continue
            started = time.monotonic()
            results[peer.name].append(throughput_once(args, peer))
            spent[peer.name] += time.monotonic() - started
    print("%-30s %9s %9s %11s %11s %11s  %-20s %s" % ("peer", "files/s", "seconds", "CPU ms/file", "server ms/f",
                                                      "connections", "files/s of each run", "checks (last run)"))
    rates, cpus = {}, {}
    for peer in peers:
        runs = results[peer.name]
        per_run = [args.files / r["seconds"] for r in runs]
        rates[peer.name] = statistics.median(per_run)
        cpus[peer.name] = statistics.median(r["peer_cpu"] for r in runs)
        connections = [r["connections"] for r in runs if r["connections"] is not None]
        last = runs[-1]
        checks = "stored %d (distinct %d), copied %d, left %d%s%s" % (
            last["stored"], last["distinct"], last["copied"], last["left"],
            "" if all(r["done"] for r in runs) else ", TIMED OUT after %.0f s" % args.timeout,
            ", peak RSS %.1f MB" % (last["peak_kb"] / 1024.0) if last["peak_kb"] else "")
        print("%-30s %9.1f %9.2f %11.2f %11.2f %11s  %-20s %s" % (
            peer.name, rates[peer.name], statistics.median(r["seconds"] for r in runs), cpus[peer.name],
            statistics.median(r["server_cpu"] for r in runs),
            "%.0f" % statistics.median(connections) if connections else "?",
            " ".join("%.1f" % rate for rate in per_run), checks))
    first = peers[0].name
    for peer in peers[1:]:
        print("ratio %s / %s: %.2fx throughput, %.2fx CPU per file" % (
            first, peer.name, rates[first] / rates[peer.name], cpus[first] / cpus[peer.name]))


def report_latency(args, peers):
    print("\n== Latency: %d files written into the hot folder one after the other, %d runs per peer;\n"
          "   writer's close to the server's \"received\" stamp (whole ms), all samples pooled"
          % (args.latency_files, args.repeats))
    print("%-30s %8s %8s %8s %8s %8s" % ("peer", "p50 ms", "p99 ms", "min ms", "max ms", "samples"))
    for peer in peers:
        samples = []
        for _ in range(args.repeats):
            samples += latency_once(args, peer)
        if not samples:
            print("%-30s no file arrived" % peer.name)
            continue
        print("%-30s %8.1f %8.1f %8.1f %8.1f %8d" % (peer.name, percentile(samples, 0.5), percentile(samples, 0.99),
                                                  min(samples), max(samples), len(samples)))


def report_idle(args, peers):
    print("\n== Idle: %d empty folders watched for %.0f s, all peers at once, %d runs, medians;\n"
          "   wake-ups = context switches summed over every thread of the peer's processes"
          % (args.idle_folders, args.idle_seconds, args.repeats))
    results = [idle_once(args, peers) for _ in range(args.repeats)]
    print("%-30s %8s %9s %8s %8s  %s" % ("peer", "CPU ms", "wake-ups", "RSS MB", "threads", "wake-ups of each run"))
    for index, peer in enumerate(peers):
        runs = [result[index] for result in results]
        print("%-30s %8.0f %9.0f %8.1f %8d  %s" % (
            peer.name, statistics.median(r["cpu_ms"] for r in runs), statistics.median(r["wakeups"] for r in runs),
            statistics.median(r["rss_kb"] for r in runs) / 1024.0, statistics.median(r["threads"] for r in runs),
            " ".join(str(r["wakeups"]) for r in runs)))


def spawn_figures(command, starts):
    """Median CPU and wall milliseconds of one start of command, CPU from the children's rusage."""
    cpu, wall = [], []
    for _ in range(starts):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.monotonic()
        subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wall.append(1000.0 * (time.monotonic() - start))
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu.append(1000.0 * (after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime))
    return statistics.median(cpu), statistics.median(wall)


def report_spawn(args, _peers):
    starts = 40
    print("\n== Process starts per file: the agent starts one parser child, the shell peer cp, curl and rm;\n"
          "   %d starts each, one after the other, medians" % starts)
    with tempfile.TemporaryDirectory(prefix="klendo-e2e-spawn-", dir=args.tmp) as folder:
        job = os.path.join(folder, "job.ps")
        with open(job, "wb") as f:
            f.write(postscript(0))
        commands = [("KlendoPrintInfo --agent-child", [os.path.join(args.install, "KlendoPrintInfo"), "--agent-child", job]),
                    ("cp", ["cp", job, os.path.join(folder, "copy.ps")]),
                    ("curl --version", ["curl", "--version"]),
                    ("rm -f", ["rm", "-f", os.path.join(folder, "absent")]),
                    ("/bin/true", ["/bin/true"])]
        print("%-30s %8s %8s" % ("command", "CPU ms", "wall ms"))
        for name, command in commands:
            print("%-30s %8.2f %8.2f" % ((name,) + spawn_figures(command, starts)))


def count_in(path, text):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace").count(text)
    except FileNotFoundError:  # the agent opens its log a moment after it reports its start
        return 0


def held_once(args, held_count):
    """Seconds until the free files were posted; with held files, also seconds from the writer's
    release until the held files were posted."""
    with Run(args, Agent(args.install), hot_count=2) as run:
        held_hot, free_hot = run.hot
        contents = [postscript(100000 + number) for number in range(held_count)]
        streams = []
        try:
            for number, content in enumerate(contents):
                stream = open(os.path.join(held_hot, "held%04d.ps" % number), "wb")
                streams.append(stream)
                stream.write(content[:len(content) // 2])
                stream.flush()
            # Every request slot has been given a held file before the free files come.
            waits = "--I: wait for write complete =" + held_hot + os.sep
            waited = min(held_count, REQUEST_SLOTS)
            if not poll(lambda: count_in(run.peer.log, waits) >= waited, args.timeout, 0.01):
                raise RuntimeError("the agent did not wait for %d held files; see %s" % (waited, run.peer.log))
            staging = os.path.join(run.folder, "staging")
            os.makedirs(staging)
            names = ["free%04d.ps" % number for number in range(args.free_files)]
            for number, name in enumerate(names):
                with open(os.path.join(staging, name), "wb") as f:
                    f.write(postscript(number))
            start = time.monotonic()
            for name in names:
                os.rename(os.path.join(staging, name), os.path.join(free_hot, name))
            done = poll(lambda: run.server.count() >= args.free_files and not os.listdir(free_hot), args.timeout, 0.01)
            free_seconds = time.monotonic() - start
            still_held = len(os.listdir(held_hot))
            start = time.monotonic()
            for stream, content in zip(streams, contents):
                stream.write(content[len(content) // 2:])
                stream.close()
            total = args.free_files + held_count
            held_done = poll(lambda: run.server.count() >= total and not os.listdir(held_hot), args.timeout, 0.01)
            held_seconds = time.monotonic() - start
        finally:
            for stream in streams:
                stream.close()
        return {"free": free_seconds, "done": done and held_done, "still_held": still_held, "held": held_seconds,
                "stored": run.server.count()}


def report_held(args, _peers):
    print("\n== Held files: %d PostScript files renamed at once into one hot folder, with and without %d files held\n"
          "   open by their writer in another hot folder (every request slot given a held file first); %d runs, medians"
          % (args.free_files, args.held_files, args.repeats))
    print("%-42s %9s %9s %16s  %s" % ("case", "seconds", "files/s", "held posted in s", "checks (last run)"))
    for held_count in (0, args.held_files):
        results = [held_once(args, held_count) for _ in range(args.repeats)]
        seconds = statistics.median(r["free"] for r in results)
        last = results[-1]
        checks = "stored %d, %d held files still in their folder when the free ones were posted%s" % (
            last["stored"], last["still_held"], "" if all(r["done"] for r in results) else ", TIMED OUT")
        print("%-42s %9.2f %9.1f %16s  %s" % (
            "KlendoHotFolderAgent %d files held open" % held_count, seconds, args.free_files / seconds,
            "%.2f" % statistics.median(r["held"] for r in results) if held_count else "-", checks))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--install", required=True)
    parser.add_argument("--baseline", default=None,
                        help="install folder of an earlier agent build, compared with --install instead of the peers")
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--latency-files", type=int, default=50)
    parser.add_argument("--idle-folders", type=int, default=50)
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--timeout", type=float, default=240.0, help="longest wait for one throughput run")
    parser.add_argument("--budget", type=float, default=100.0,
                        help="no further throughput run of a peer once its runs took this long (s)")
    parser.add_argument("--tmp", default=None, help="folder for the temporary folders (default: the system's)")
    parser.add_argument("--held-files", type=int, default=130)
    parser.add_argument("--free-files", type=int, default=100)
    parser.add_argument("--only", default="throughput,latency,idle,spawn,held")
    args = parser.parse_args()
    args.install = os.path.abspath(args.install)
    with tempfile.TemporaryDirectory(prefix="klendo-e2e-template-", dir=args.tmp) as folder:
        args.template = make_template(args.install, folder)
    if args.baseline:
        peers = [Agent(args.install), Agent(os.path.abspath(args.baseline), "KlendoHotFolderAgent before")]
    else:
        peers = [Agent(args.install), ShellPeer(), WatchdogPeer()]
    reports = {"throughput": report_throughput, "latency": report_latency, "idle": report_idle,
               "spawn": report_spawn, "held": report_held}
    for name in args.only.split(","):
        reports[name](args, peers)


main()
