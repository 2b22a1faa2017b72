"""The Debian package: built with CPack from the build folder, its contents and maintainer scripts,
and a whole life in a throwaway root (dpkg --root with the maintainer scripts run outside a chroot,
honouring DPKG_ROOT): install, a run as a registered service, upgrade, remove and purge. Nothing is
installed into the machine that runs the test."""

import glob
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

from harness import LONG, SHORT, _end_with_the_test, wait_until

PACKAGE = "klendohotfolderagent"
PREFIX = "opt/KlendoHotFolderAgent"
UNIT = "KlendoHotFolderAgent.service"
STATE_FILES = ["KlendoHotFolderAgent.ini", "KlendoHotFolderAgent.log", "KlendoActivity.dat",
               "KlendoActivity.rejected.dat", "KlendoActivity.settled.dat", "KlendoActivity.refusals.dat",
               "KlendoTickets-0123456789abcdef.dat", "KlendoAbandoned.dat",
               "KlendoHotFolderAgent_20261207_1.tmp"]


def run(*command, **options):
    done = subprocess.run(list(command), capture_output=True, timeout=LONG, **options)
    if done.returncode != 0:
        raise AssertionError("%s failed (%d): %s %s" % (" ".join(command), done.returncode,
                                                      done.stdout.decode(errors="replace"),
                                                      done.stderr.decode(errors="replace")))
    return done.stdout.decode("utf-8", "replace")


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cpack = os.environ.get("KLENDO_CPACK")
        config = os.environ.get("KLENDO_CPACK_CONFIG")
        if not cpack or not config or not os.path.isfile(config):
            raise unittest.SkipTest("KLENDO_CPACK and KLENDO_CPACK_CONFIG are not set")
        for tool in ("dpkg", "dpkg-deb", "deb-systemd-helper"):
            if not shutil.which(tool):
                raise unittest.SkipTest("%s is not installed" % tool)
        cls.work = tempfile.mkdtemp(prefix="klendo-package-")
        run(cpack, "-G", "DEB", "--config", config, "-B", cls.work)
        found = glob.glob(os.path.join(cls.work, PACKAGE + "_*.deb"))
        if len(found) != 1:
            shutil.rmtree(cls.work, True)
            raise AssertionError("expected one package, found %r" % found)
        cls.deb = found[0]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, True)

    def test_contents_and_control(self):
        listing = run("dpkg-deb", "--contents", self.deb)
        paths = {line.split()[-1] for line in listing.splitlines() if line.strip()}
        paths |= {line.split()[-3] for line in listing.splitlines() if " -> " in line}
        for wanted in ("./%s/KlendoHotFolderAgent" % PREFIX, "./%s/KlendoPrintInfo" % PREFIX,
                       "./%s/KlendoHotFolderAgent.ini.example" % PREFIX, "./lib/systemd/system/" + UNIT,
                       "./usr/share/man/man8/KlendoHotFolderAgent.8.gz", "./usr/share/man/man1/KlendoPrintInfo.1.gz"):
            self.assertIn(wanted, paths)
        self.assertFalse([p for p in paths if "KlendoReferenceServer" in p], "the reference server is packaged")
        self.assertFalse([p for p in paths if p.startswith("./etc/")], "files in /etc would be conffiles")

        depends = run("dpkg-deb", "--field", self.deb, "Depends")
        for library in ("libc6", "libcurl4", "libsystemd0", "libqpdf"):
            self.assertIn(library, depends)

        control = os.path.join(self.work, "control")
        run("dpkg-deb", "--control", self.deb, control)
        for script in ("postinst", "prerm", "postrm"):
            path = os.path.join(control, script)
            self.assertTrue(os.access(path, os.X_OK), script)
            run("sh", "-n", path)

        unit = os.path.join(self.work, "unit")
        run("dpkg-deb", "--extract", self.deb, unit)
        with open(os.path.join(unit, "lib/systemd/system", UNIT)) as stream:
            keys = dict(line.split("=", 1) for line in stream.read().splitlines() if "=" in line and line[0] != "#")
        self.assertEqual(keys["Type"], "notify")
        self.assertEqual(keys["ExecStart"], "/" + PREFIX + "/KlendoHotFolderAgent")
        self.assertEqual(keys["Restart"], "on-failure")
        self.assertEqual(keys["WantedBy"], "multi-user.target")
        # Two kernel descriptors for the folders, but files, copies, parses and connections in flight.
        self.assertGreaterEqual(int(keys["LimitNOFILE"]), 4096)

    def dpkg(self, root, *arguments):
        return run("dpkg", "--root=" + root, "--force-script-chrootless", "--force-depends", "--force-not-root",
                   "--log=/dev/null", *arguments)

    def make_root(self):
        root = os.path.join(self.work, "root-" + self.id().rsplit(".", 1)[1])
        for folder in ("var/lib/dpkg/info", "var/lib/dpkg/updates", "var/lib/dpkg/triggers", "etc", "lib", "usr"):
            os.makedirs(os.path.join(root, folder))
        open(os.path.join(root, "var/lib/dpkg/status"), "w").close()
        return root

    def upgraded_package(self):
        """The same package as version 1.0.1, for the upgrade."""
        tree = os.path.join(self.work, "tree")
        run("dpkg-deb", "--raw-extract", self.deb, tree)
        control_path = os.path.join(tree, "DEBIAN", "control")
        with open(control_path) as stream:
            control = stream.read()
        version = next(line.split(": ", 1)[1] for line in control.splitlines() if line.startswith("Version: "))
        with open(control_path, "w") as stream:
            stream.write(control.replace("Version: " + version, "Version: " + version + ".1"))
        upgrade = os.path.join(self.work, "upgrade.deb")
        run("dpkg-deb", "--root-owner-group", "--build", tree, upgrade)
        return upgrade, version + ".1"

    def run_as_service(self, root):
        """The installed agent, started as systemd would start the package's unit: it must report
        READY=1, which only a registered service does."""
        notify = os.path.join(self.work, "notify")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        listener.bind(notify)
        listener.settimeout(SHORT)
        environment = {k: v for k, v in os.environ.items() if not k.startswith("KLENDO_")}
        environment["KLENDO_REGISTRY"] = os.path.join(root, "var/lib/KlendoHotFolderAgent/registry")
        environment["NOTIFY_SOCKET"] = notify
        agent = subprocess.Popen([os.path.join(root, PREFIX, "KlendoHotFolderAgent")], env=environment,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=_end_with_the_test)
        try:
            messages = []
            while "READY=1" not in messages:
                messages += listener.recv(4096).decode().split("\n")
            agent.send_signal(signal.SIGTERM)
            self.assertEqual(agent.wait(LONG), 0)
        finally:
            if agent.poll() is None:
                agent.kill()
                agent.wait()
            listener.close()
            os.unlink(notify)

    def test_install_upgrade_remove_purge(self):
        root = self.make_root()
        install = os.path.join(root, PREFIX)
        wants = os.path.join(root, "etc/systemd/system/multi-user.target.wants", UNIT)
        registry = os.path.join(root, "var/lib/KlendoHotFolderAgent/registry")

        self.dpkg(root, "--install", self.deb)
        self.assertEqual(os.readlink(wants), "/lib/systemd/system/" + UNIT)
        self.assertTrue(os.path.isfile(registry))
        self.run_as_service(root)
        self.assertTrue(os.path.isfile(os.path.join(install, "KlendoHotFolderAgent.log")))
        for name in STATE_FILES:
            if not os.path.exists(os.path.join(install, name)):
                with open(os.path.join(install, name), "w") as stream:
                    stream.write("kept\n")
        kept = {name: open(os.path.join(install, name), "rb").read() for name in STATE_FILES}

        upgrade, version = self.upgraded_package()
        self.dpkg(root, "--install", upgrade)
        status = run("dpkg-query", "--admindir=" + os.path.join(root, "var/lib/dpkg"), "-W", PACKAGE)
        self.assertEqual(status.split(), [PACKAGE, version])
        self.assertEqual({name: open(os.path.join(install, name), "rb").read() for name in STATE_FILES}, kept)
        self.assertEqual(os.readlink(wants), "/lib/systemd/system/" + UNIT)
        self.run_as_service(root)

        self.dpkg(root, "--remove", PACKAGE)
        self.assertFalse(os.path.exists(os.path.join(install, "KlendoHotFolderAgent")))
        for name in STATE_FILES:
            self.assertTrue(os.path.isfile(os.path.join(install, name)), name)
        self.assertTrue(os.path.isfile(registry))
        # Unregistered: systemd would find the unit masked, so nothing starts it.
        self.assertEqual(os.readlink(os.path.join(root, "etc/systemd/system", UNIT)), "/dev/null")

        self.dpkg(root, "--purge", PACKAGE)
        self.assertFalse(os.path.exists(install), os.listdir(install) if os.path.isdir(install) else "")
        self.assertFalse(os.path.exists(os.path.dirname(registry)))
        self.assertFalse(os.path.lexists(wants))
        self.assertFalse(os.path.lexists(os.path.join(root, "etc/systemd/system", UNIT)))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
