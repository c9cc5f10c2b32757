#!/usr/bin/env python3
"""Every folder's README.md lists exactly the files in it.

A README names an entry of its folder (a file or a subfolder) in backquotes: `name`,
`name/`, a path through it (`win32/bench_stats.h`), a pattern that matches it
(`test_ringbuffer*`), its stem for every file of that stem (`rudpclient` for
rudpclient.h and rudpclient.cpp), or, right after `stem.h`, the short form `.cpp`
for stem.cpp. A subfolder with a README of its own lists its own files; one without
is described by its parent as a whole. The other way round, every file name a
README gives in backquotes (a name with one of the repository's source endings) must
exist: a plain name anywhere in the tree (a README may point at a neighbour's file),
a path from its folder or from the top of the tree.

    check_readmes.py [<tree>]     exit 0 when all hold, 1 with one line per fault

The files are git's (tracked, and new ones not ignored), so a file added but not yet
committed counts; outside a git checkout, every file but build/ and .git/.
"""

import fnmatch
import os
import re
import subprocess
import sys

TREE = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", ".."))
# Names with these endings are files of the repository when a README gives them;
# other quoted names (LOGIN.DAT, servers.txt, OSKARerudi.exe) are the program's.
SOURCE_NAME = re.compile(r"^[\w.*+-]*(\.(cpp|h|py|cmake|rc|manifest|png|bmp|ico|json|md)|CMakeLists\.txt)$")
BARE_ENDING = re.compile(r"^\.\w+$")  # the short form's `.cpp`
QUOTED = re.compile(r"`([^`\s]+)`")
SHORT_FORM = re.compile(r"`([\w.+-]+)\.\w+`\s*(?:/|,)\s*`(\.\w+)`")


def repository_files(tree):
    try:
        out = subprocess.run(["git", "-C", tree, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                             capture_output=True, check=True).stdout.decode()
        return sorted(f for f in set(out.split("\0")) if f and os.path.isfile(os.path.join(tree, f)))
    except (OSError, subprocess.CalledProcessError):
        files = []
        for top, dirs, names in os.walk(tree):
            dirs[:] = [d for d in dirs if not (top == tree and d in ("build", ".git"))]
            files += [os.path.relpath(os.path.join(top, n), tree) for n in names]
        return sorted(files)


def quoted_names(text):
    """Every name in backquotes, with the short forms written out."""
    names = set(QUOTED.findall(text))
    for stem, ending in SHORT_FORM.findall(text):
        names.add(stem + ending)
    return {n.rstrip(".,;:") for n in names}


def names_entry(names, entry):
    stem = entry.split(".", 1)[0] if not entry.startswith(".") else entry
    for n in names:
        first = n.split("/", 1)[0]
        if first in (entry, stem) or (("*" in first or "?" in first) and fnmatch.fnmatchcase(entry, first)):
            return True
    return False


def exists(name, folder, files):
    """A file name a README gives: anywhere by its plain name or pattern, or as a
    path from its folder or from the top of the tree."""
    if "/" not in name:
        return any(fnmatch.fnmatchcase(os.path.basename(f), name) for f in files)
    for base in (folder, ""):
        path = os.path.normpath(os.path.join(base, name))
        if any(fnmatch.fnmatchcase(f, path) for f in files):
            return True
    return False


def check(tree):
    files = repository_files(tree)
    faults = []
    readmes = [f for f in files if os.path.basename(f) == "README.md"]
    for readme in readmes:
        folder = os.path.dirname(readme)
        with open(os.path.join(tree, readme), encoding="utf-8") as f:
            names = quoted_names(f.read())
        prefix = folder + "/" if folder else ""
        entries = sorted({f[len(prefix):].split("/", 1)[0] for f in files if f.startswith(prefix)} - {"README.md"})
        for entry in entries:
            if not names_entry(names, entry):
                kind = "folder" if any(f.startswith(prefix + entry + "/") for f in files) else "file"
                faults.append("%s does not list the %s %s" % (readme, kind, prefix + entry))
        for name in sorted(names):
            if "<" in name or not SOURCE_NAME.match(os.path.basename(name)) or BARE_ENDING.match(name):
                continue
            if not exists(name, folder, files):
                faults.append("%s names %s, which is not there" % (readme, name))
    return faults


def main():
    faults = check(TREE)
    for f in faults:
        print(f)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
