"""The Debian package, made by CPack from the build beside the binary under
test, checked as an owner's tools see it: its control fields and file list
through dpkg-deb, its dependencies against the libraries the binary is
linked with, and its contents unpacked with dpkg -x into a scratch root,
where the program must answer --version and the manual page must name
every option and command that --help lists.

Skipped (exit 0, with a "skipped" line) when dpkg-deb or cpack is missing.
Every step is bounded in time.
"""

import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
import hostile_support as hs  # noqa: E402

STEP_TIMEOUT = 300


def run(*args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=STEP_TIMEOUT,
                          check=True, **kw).stdout


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.binary = hs.binary()
        cls.build = os.path.dirname(os.path.dirname(cls.binary))
        cls.scratch = tempfile.mkdtemp(prefix="qvpkg-")
        run("cpack", "-G", "DEB", "--config", os.path.join(cls.build, "CPackConfig.cmake"),
            "-B", cls.scratch)
        # "Quorvel Version 1.0, Release A, Build 2", then the legal notice.
        cls.version = re.match(r"Quorvel Version (\S+),", run(cls.binary, "--version")).group(1)
        cls.arch = run("dpkg", "--print-architecture").strip()
        cls.deb = os.path.join(cls.scratch, "quorvel_%s_%s.deb" % (cls.version, cls.arch))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def field(self, name):
        return run("dpkg-deb", "-f", self.deb, name).strip()

    def test_control_fields(self):
        self.assertTrue(os.path.exists(self.deb), os.listdir(self.scratch))
        self.assertEqual("quorvel", self.field("Package"))
        self.assertEqual(self.version, self.field("Version"))
        self.assertEqual(self.arch, self.field("Architecture"))
        self.assertEqual("news", self.field("Section"))

    def test_depends_on_exactly_the_linked_libraries(self):
        # The packages that hold the binary's NEEDED libraries, as the
        # dynamic linker finds them.
        needed = re.findall(r"NEEDED\s+(\S+)", run("objdump", "-p", self.binary))
        paths = dict(re.findall(r"^\s*(\S+) => (\S+)", run("ldd", self.binary), re.M))
        owners = set()
        for lib in needed:
            self.assertIn(lib, paths, "no path for %s" % lib)
            real = os.path.realpath(paths[lib])
            out = subprocess.run(["dpkg", "-S", real], capture_output=True, text=True,
                                 timeout=STEP_TIMEOUT)
            if out.returncode != 0:  # the search may know only the unresolved name
                out = subprocess.run(["dpkg", "-S", paths[lib]], capture_output=True, text=True,
                                     timeout=STEP_TIMEOUT)
            self.assertEqual(0, out.returncode, "no package holds %s" % lib)
            owners.add(out.stdout.split(":")[0].strip())
        depends = {d.strip().split()[0] for d in self.field("Depends").split(",")}
        self.assertEqual(owners, depends)

    def test_file_list(self):
        listing = run("dpkg-deb", "-c", self.deb)
        entries = {}
        for line in listing.splitlines():
            mode, owner, _size, _date, _time, path = line.split(None, 5)
            entries[path] = (mode, owner)
        files = {p for p, (m, _) in entries.items() if not m.startswith("d")}
        self.assertEqual({"./usr/bin/quorvel", "./usr/share/man/man8/quorvel.8.gz",
                          "./usr/share/doc/quorvel/README.md"}, files)
        self.assertEqual(("drwx------", "root/root"), entries.get("./var/lib/quorvel/"), listing)
        self.assertEqual("-rwxr-xr-x", entries["./usr/bin/quorvel"][0])
        for path, (_mode, owner) in entries.items():
            self.assertEqual("root/root", owner, path)

    def test_unpacked_program_and_manual(self):
        root = os.path.join(self.scratch, "root")
        run("dpkg", "-x", self.deb, root)
        program = os.path.join(root, "usr", "bin", "quorvel")
        self.assertEqual("Quorvel Version %s, Release A, Build 2" % self.version,
                         run(program, "--version").splitlines()[0])

        with gzip.open(os.path.join(root, "usr/share/man/man8/quorvel.8.gz"), "rt") as f:
            manual = f.read()
        self.assertTrue(manual.startswith(".TH QUORVEL 8"), manual[:80])
        self.assertIn("Quorvel %s" % self.version, manual.splitlines()[0])
        # Every option and every ctl and service command of --help has an
        # entry of its own (a roff line ".B word", ".BI word", ...).
        helptext = run(program, "--help")
        commands = re.findall(r"^  (?!service )([a-z]+)", helptext, re.M)
        commands += ["service " + w for w in re.findall(r"^  service ([a-z]+)", helptext, re.M)]
        options = re.findall(r"^  (--[a-z]+)", helptext, re.M)
        self.assertGreater(len(commands), 15, helptext)
        for word in commands:
            pattern = r'^\.B[IR]? "?%s\b' % re.escape(word)
            self.assertRegex(manual, re.compile(pattern, re.M), "no entry for %r" % word)
        for option in options:
            self.assertIn(option.replace("-", "\\-"), manual, option)


if __name__ == "__main__":
    missing = [t for t in ("dpkg-deb", "cpack", "dpkg-shlibdeps", "objdump")
               if shutil.which(t) is None]
    if missing:
        print("package_test: skipped: %s not installed" % ", ".join(missing))
        sys.exit(0)
    unittest.main()
