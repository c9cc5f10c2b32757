#!/usr/bin/env python3
"""tools/setup against stand-ins for apt-get, dpkg, dpkg-query and the kernel's
32-bit check: what it asks for, what it installs, what it says and how it ends when
the archive answers in part, when 32-bit Wine cannot be installed (with or without a
failed index behind it), when the kernel runs no 32-bit programs, when a package is
missing, and what it does with a limit kept by an earlier run. Nothing on the real
system is touched: the stand-ins come first on PATH and keep their state in a
temporary folder. Each case also asks tools/wine-arch what it makes of 32-bit
afterwards, as tools/test would."""
import os
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SETUP = os.path.join(ROOT, "tools", "setup")
WINE_ARCH = os.path.join(ROOT, "tools", "wine-arch")

# The stand-ins read their behaviour from files in $FAKE: installed (one package
# a line), arch (foreign architectures), update_fails (how many more updates fail;
# "always" for an index that keeps failing), broken (package<TAB>apt's output).
# Every call is appended to $FAKE/calls. Installing wine32:i386 puts a 32-bit
# loader in place ($FAKE/loader32, which wine-arch is pointed at), as the package does.
STANDINS = {
    "dpkg-query": r"""#!/bin/sh
echo "dpkg-query $*" >>"$FAKE/calls"
for p; do :; done
grep -qx "$p" "$FAKE/installed" && { printf 'install ok installed'; exit 0; }
exit 1
""",
    "dpkg": r"""#!/bin/sh
echo "dpkg $*" >>"$FAKE/calls"
case "$1" in
  --print-foreign-architectures) cat "$FAKE/arch" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$FAKE/arch" ;;
esac
""",
    "apt-get": r"""#!/bin/sh
echo "apt-get $*" >>"$FAKE/calls"
if [ "$1" = update ]; then
  n=$(cat "$FAKE/update_fails" 2>/dev/null || echo 0)
  [ "$n" = 0 ] && { echo "Reading package lists..."; exit 0; }
  [ "$n" = always ] || echo $((n - 1)) >"$FAKE/update_fails"
  echo "Err:7 http://archive.invalid/debian-security bookworm-security/main i386 Packages"
  echo "W: Failed to fetch http://archive.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (10 != 20). Mirror sync in progress? [IP: 192.0.2.1 80]"
  echo "W: Failed to fetch http://archive.invalid/debian/dists/bookworm/main/i18n/Translation-en.xz  Hash Sum mismatch"
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
  exit 100
fi
shift
# As apt: one package that cannot be installed fails the whole request.
for p; do
  case "$p" in -*) continue ;; esac
  out=$(awk -F'\t' -v p="$p" '$1 == p { print $2 }' "$FAKE/broken" 2>/dev/null)
  if [ -n "$out" ]; then printf '%b\n' "$out"; exit 100; fi
done
for p; do
  case "$p" in
    -*) ;;
    wine32:i386) echo "$p" >>"$FAKE/installed"; cp "$FAKE/loader-template" "$FAKE/loader32"; chmod 755 "$FAKE/loader32" ;;
    *) echo "$p" >>"$FAKE/installed" ;;
  esac
done
""",
    "kernel32": r"""#!/bin/sh
cat "$FAKE/kernel32"
case "$(cat "$FAKE/kernel32")" in yes) exit 0 ;; no:*) exit 1 ;; *) exit 2 ;; esac
""",
}
LOADER = "#!/bin/sh\necho wine-8.0 stand-in\n"

HELD = ("Some packages could not be installed.\\n"
        "The following packages have unmet dependencies:\\n"
        " wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed\\n"
        "E: Unable to correct problems, you have held broken packages.")
MISSING = "E: Unable to locate package libbenchmark-dev"
NO32 = "no: 32-bit programs cannot run here (the kernel refuses a 32-bit program: Exec format error)"
I386_INDEX = "http://archive.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"
OLD_LIMIT = "apt says of wine32:i386: E: Unable to correct problems, you have held broken packages."
HOUR = 3600


def read(path):
    if not os.path.exists(path):
        return ""
    with open(path) as f:
        return f.read()


def required_packages():
    """The 64-bit half as tools/setup lists it."""
    text = read(SETUP)
    start = text.index("required=(") + len("required=(")
    return text[start:text.index(")", start)].split()


def case(name, **kw):
    """One run of the set-up and what must come of it; the defaults are a machine
    that runs 32-bit programs, an archive that answers and nothing installed yet.
      k32, fails, broken, installed, limit (text, age in seconds, or no age for a
      limit without a stamp), args: the machine, the archive and the command line;
      code, says (lines the output holds), quiet (it says nothing), updates (apt-get
      update calls): how the run went;
      wine32: "installed", "refused" (asked for and not installed) or "not asked";
      kept: lines the limit holds afterwards (None: no limit and no stamp), absent:
      words neither the limit nor wine-arch's answer may hold;
      arch: (exit code, words) of `wine-arch check win32` afterwards."""
    c = dict(name=name, k32="yes", fails="0", broken={}, installed=(), limit=None, args=(),
             code=0, says=(), quiet=False, updates=1, wine32="installed", kept=None, absent=(), arch=(0, "yes"))
    c.update(kw)
    return c


REFUSED = ("no: 32-bit Wine could not be installed: apt says of wine32:i386: ", "held broken packages")
CASES = [
    case("update fails once, then succeeds", fails="1", updates=2, says=["setup: installing "]),
    case("one index keeps failing", fails="always", updates=3,
         says=["the package lists are incomplete after 3 tries; going on with the lists at hand",
               "File has unexpected size"]),
    case("32-bit Wine cannot be installed", broken={"wine32:i386": HELD}, wine32="refused",
         says=["32-bit Wine could not be installed: apt says of wine32:i386: ", "held broken packages",
               "not asked again for a day"],
         kept=["apt says of wine32:i386: ", "held broken packages"], arch=(1,) + REFUSED),
    # The commonest case on our machines: the i386 index fails, and so the package.
    case("the i386 index fails and 32-bit Wine cannot be installed", fails="always", updates=3,
         broken={"wine32:i386": HELD}, wine32="refused",
         says=["the package lists are incomplete after 3 tries",
               "32-bit Wine could not be installed: the package index " + I386_INDEX],
         kept=["the package index %s (File has unexpected size" % I386_INDEX,
               "could not be fetched; apt says of wine32:i386: ", "held broken packages"],
         absent=["Translation-en"],  # an index of no i386 package is no cause
         arch=(1, "no: 32-bit Wine could not be installed: the package index " + I386_INDEX,
               "held broken packages")),
    case("kernel without 32-bit", k32=NO32, wine32="not asked",
         says=["setup: 32-bit programs cannot run here (the kernel refuses a 32-bit program: Exec format error):"
               " installing the 64-bit half only"], arch=(1, NO32)),
    # The set-up stopped before 32-bit Wine and named no limit: something to mend.
    case("a package missing from the archive", broken={"libbenchmark-dev": MISSING}, code=1,
         says=["setup: cannot install libbenchmark-dev: E: Unable to locate package libbenchmark-dev"],
         wine32="not asked", arch=(2, "broken: the 32-bit Wine loader ", " is missing")),
    case("nothing to do says nothing", fails="always", installed=required_packages() + ["wine32:i386"],
         quiet=True, updates=0, wine32="not asked"),
    # A limit kept by an earlier run.
    case("a failure of an hour ago is not asked about again", installed=required_packages(),
         limit=(OLD_LIMIT, HOUR), updates=0, wine32="not asked",
         says=["setup: 32-bit Wine could not be installed 1 h 0 min ago (" + OLD_LIMIT + "); not asked again"
               " before ", "tools/setup --retry asks now"],
         kept=[OLD_LIMIT], arch=(1,) + REFUSED),
    case("a remembered failure holds back only 32-bit Wine", limit=(OLD_LIMIT, HOUR), wine32="not asked",
         says=["not asked again before ", "setup: installing " + required_packages()[0]],
         kept=[OLD_LIMIT], arch=(1,) + REFUSED),
    case("--retry asks at once", installed=required_packages(), limit=(OLD_LIMIT, HOUR), args=["--retry"],
         broken={"wine32:i386": HELD}, wine32="refused", says=["setup: installing wine32:i386"],
         kept=["apt says of wine32:i386: "], arch=(1,) + REFUSED),
    case("a limit older than a day is asked again and goes", installed=required_packages(),
         limit=(OLD_LIMIT, 25 * HOUR), says=["setup: installing wine32:i386"]),
    case("a limit without its stamp is asked again", installed=required_packages(), limit=(OLD_LIMIT, None),
         says=["setup: installing wine32:i386"]),
    case("a limit goes once 32-bit Wine is installed by hand", installed=required_packages() + ["wine32:i386"],
         limit=(OLD_LIMIT, HOUR), quiet=True, updates=0, wine32="not asked"),
    case("a limit goes on a kernel without 32-bit", k32=NO32, installed=required_packages(),
         limit=(OLD_LIMIT, HOUR), quiet=True, updates=0, wine32="not asked", arch=(1, NO32)),
]


class SetupTest(unittest.TestCase):
    def run_setup(self, fake, c):
        bindir = os.path.join(fake, "bin")
        state = os.path.join(fake, "state")
        os.makedirs(bindir)
        os.makedirs(state)
        for name, text in STANDINS.items():
            path = os.path.join(bindir, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        for name, text in (("kernel32", c["k32"]), ("update_fails", c["fails"]), ("loader-template", LOADER),
                           ("installed", "".join(p + "\n" for p in c["installed"])),
                           ("broken", "".join("%s\t%s\n" % kv for kv in c["broken"].items()))):
            with open(os.path.join(fake, name), "w") as f:
                f.write(text)
        if "wine32:i386" in c["installed"]:
            with open(os.path.join(fake, "loader32"), "w") as f:
                f.write(LOADER)
            os.chmod(os.path.join(fake, "loader32"), 0o755)
        if c["limit"]:
            text, age = c["limit"]
            with open(os.path.join(state, "wine32-missing"), "w") as f:
                f.write(text + "\n")
            if age is not None:
                stamp = os.path.join(state, "wine32-missing.stamp")
                open(stamp, "w").close()
                os.utime(stamp, (time.time() - age, time.time() - age))
        env = dict(os.environ, FAKE=fake, PATH=bindir + os.pathsep + os.environ["PATH"],
                   QV_KERNEL32_CHECK=os.path.join(bindir, "kernel32"), QV_SETUP_STATE=state,
                   QV_APT_PAUSE="0", QV_WINE32_LOADER=os.path.join(fake, "loader32"))
        env.pop("QV_PRETEND_NO_32BIT", None)
        r = subprocess.run([SETUP] + list(c["args"]), env=env, text=True,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        check = subprocess.run([WINE_ARCH, "check", "win32"], env=env, text=True,
                               stdout=subprocess.PIPE, timeout=30)
        return r, check, state

    def test_cases(self):
        for c in CASES:
            with self.subTest(c["name"]), tempfile.TemporaryDirectory() as fake:
                r, check, state = self.run_setup(fake, c)
                out = r.stdout
                calls = read(os.path.join(fake, "calls"))
                done = set(read(os.path.join(fake, "installed")).split())
                apt = [l for l in calls.splitlines() if l.startswith("apt-get ")]
                self.assertEqual(r.returncode, c["code"], out)
                if c["quiet"]:
                    self.assertEqual(out, "")
                for line in c["says"]:
                    self.assertIn(line, out)
                self.assertEqual(sum(l.startswith("apt-get update") for l in apt), c["updates"], calls)

                # The 64-bit half: all of it when the set-up succeeds; when one package
                # is missing, every other one still (each is tried alone).
                lacking = {p for p, why in c["broken"].items() if p != "wine32:i386"}
                self.assertLessEqual(set(required_packages()) - lacking, done, out)
                for p in lacking:
                    self.assertTrue(any(l.startswith("apt-get install") and l.endswith(" " + p) for l in apt),
                                    "%s was never tried alone:\n%s" % (p, calls))
                    self.assertNotIn(p, done)

                # 32-bit Wine: asked for with the i386 architecture in place, or not at all.
                asked = [i for i, l in enumerate(calls.splitlines())
                         if l.startswith("apt-get install") and "wine32:i386" in l]
                self.assertEqual(bool(asked), c["wine32"] != "not asked", calls)
                self.assertEqual("wine32:i386" in done, c["wine32"] == "installed" or
                                 "wine32:i386" in c["installed"], out)
                if asked:
                    added = calls.splitlines().index("dpkg --add-architecture i386")
                    self.assertLess(added, asked[0], calls)
                elif c["code"] == 0:
                    self.assertNotIn("--add-architecture", calls)

                # The limit and its stamp: kept together, or both gone.
                limit = os.path.join(state, "wine32-missing")
                stamp = limit + ".stamp"
                if c["kept"] is None:
                    self.assertFalse(os.path.exists(limit) or os.path.exists(stamp), os.listdir(state))
                else:
                    text = read(limit)
                    self.assertEqual(text.count("\n"), 1, text)
                    for words in c["kept"]:
                        self.assertIn(words, text)
                    for words in c["absent"]:
                        self.assertNotIn(words, text)
                    self.assertTrue(os.path.exists(stamp))
                    age = time.time() - os.stat(stamp).st_mtime
                    if c["wine32"] == "refused":
                        self.assertLess(age, 600, "the stamp was not renewed")
                    else:
                        self.assertGreater(age, 600, "the stamp was renewed without asking")

                # What wine-arch says of 32-bit afterwards, as tools/test asks it.
                code, *words = c["arch"]
                self.assertEqual(check.returncode, code, check.stdout)
                self.assertTrue(check.stdout.startswith(words[0]), check.stdout)
                for w in words[1:]:
                    self.assertIn(w, check.stdout)
                for w in c["absent"]:
                    self.assertNotIn(w, check.stdout)

    def test_unknown_option_is_refused(self):
        r = subprocess.run([SETUP, "--retyr"], text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=30)
        self.assertEqual(r.returncode, 2)
        self.assertIn("--retry", r.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
