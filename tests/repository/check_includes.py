#!/usr/bin/env python3
"""The house rule: a program's folder includes only its own headers and those
of the shared folder, common/. An include that resolves to another program's
folder (the service's src/, client/, packaging/, standin/) is reported; exits 1
if there is one. Headers generated in the build tree and system headers do not
resolve in the source tree and are not judged."""
import os
import re
import sys

PROGRAMS = ["src", "client", "packaging", "standin"]
SHARED = "common"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
SOURCES = (".c", ".cpp", ".h", ".rc", ".idl")


def candidates(root, folder, source_dir, name):
    """Where an include may resolve: beside the file, then from the root of
    its own folder, of the shared folder, and of every other program folder."""
    places = [source_dir, os.path.join(root, folder), os.path.join(root, SHARED)]
    places += [os.path.join(root, other) for other in PROGRAMS if other != folder]
    for place in places:
        path = os.path.normpath(os.path.join(place, name))
        if os.path.isfile(path):
            yield path


def main(root):
    wrong = 0
    checked = 0
    for folder in PROGRAMS:
        for directory, _, files in os.walk(os.path.join(root, folder)):
            for file_name in files:
                if not file_name.endswith(SOURCES):
                    continue
                path = os.path.join(directory, file_name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        checked += 1
                        found = next(candidates(root, folder, directory, m.group(1)), None)
                        if found is None:
                            continue
                        home = os.path.relpath(found, root).split(os.sep)[0]
                        if home not in (folder, SHARED):
                            print("%s:%d: includes %s from %s/" % (os.path.relpath(path, root), number, m.group(1), home))
                            wrong += 1
    print("%d include(s) checked, %d across the house" % (checked, wrong))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
