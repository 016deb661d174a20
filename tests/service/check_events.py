#!/usr/bin/env python3
"""The Event Log of the real service under Wine's service manager: a restart,
a refusal by policy and a start refused for an invalid setting, as Wine prints
their events. Wine's ReportEventW stores nothing: it prints each string on the
eventlog channel (errors as err:, warnings as warn:, information as trace:)
into the stderr of the process that started the Wine session. So this test
starts a session of its own, in a copy of the suite's prefix, with that
channel on, and reads the events from there.

Arguments: the folder of the built executables, the suite's prefix, a work folder."""
import os
import re
import shutil
import subprocess
import sys

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
SETTINGS = r"HKLM\Software\norva\Tobra Service"
GROUP_POLICY = r"HKLM\Software\Policies\norva\Tobra Service"
ALLOWED = "00-11-22-33-44-66"
REFUSED = "00-11-22-33-44-55"


def main(bin_dir, template, work):
    prefix = os.path.join(work, "prefix")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDLLOVERRIDES="mscoree,mshtml=",
               WINEDEBUG="err+eventlog,warn+eventlog,trace+eventlog")
    quiet = dict(env, WINEDEBUG="-all")
    subprocess.run([WINESERVER, "-k"], env=quiet, stderr=subprocess.DEVNULL)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    copy_prefix(template, prefix)
    session_err = os.path.join(work, "session.err")
    tool_out = open(os.path.join(work, "tool.out"), "w")

    def run(*args, timeout=60):
        tool_out.write("> %s\n" % " ".join(args))
        tool_out.flush()
        # Quiet: only the session's first process prints the service's events.
        return subprocess.run([WINE] + list(args), env=quiet, stdin=subprocess.DEVNULL, stdout=tool_out,
                              stderr=tool_out, timeout=timeout).returncode

    tool = os.path.join(bin_dir, "tobra_service_tool.exe")
    try:
        subprocess.run([WINESERVER, "-p"], env=env, check=True)
        with open(session_err, "w") as err:
            # The services it starts inherit its channel and its stderr.
            subprocess.run([WINE, "wineboot"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=err, timeout=180, check=True)
        run(tool, "remove")
        # The copy holds whatever settings the other tests had written just then.
        run("reg", "delete", SETTINGS, "/f")
        run("reg", "delete", GROUP_POLICY, "/f")
        run("reg", "add", SETTINGS, "/v", "AllowedAdapters", "/t", "REG_MULTI_SZ", "/d", ALLOWED, "/f")
        if run(tool, "install") != 0 or run(tool, "start") != 0:
            return fail("the service did not start", work)
        run(tool, "restart", ALLOWED)
        run(tool, "restart", REFUSED)
        run(tool, "stop")
        run("reg", "add", SETTINGS, "/v", "AllowedAdapters", "/t", "REG_MULTI_SZ", "/d", "not-an-address", "/f")
        run(tool, "start")
        run(tool, "remove")
        run("reg", "delete", SETTINGS, "/v", "AllowedAdapters", "/f")
    finally:
        subprocess.run([WINESERVER, "-k"], env=quiet, stderr=subprocess.DEVNULL)
        tool_out.close()
        # 700 MB; the two logs stay for a look after a failure.
        shutil.rmtree(prefix, ignore_errors=True)

    with open(os.path.join(work, "tool.out"), errors="replace") as f:
        if "exit code 13," not in f.read():
            return fail("the start with an invalid setting did not stop with 13", work)

    events = []
    with open(session_err, errors="replace") as err:
        for line in err:
            m = re.match(r"^[0-9a-f]+:(err|warn|trace):eventlog:ReportEventW (.*)$", line.rstrip("\n"))
            if m:
                events.append((m.group(1), m.group(2)))
    print("Events as Wine printed them (level, string):")
    for level, text in events:
        print("  %-5s %s" % (level, text))

    string = r'L"%s"'
    user = r'L"[^"]+\\\\[^"]+"'  # DOMAIN\name, as debugstr_w escapes it
    number = r'L"[0-9]+"'
    wanted = [
        ("trace", string % "Restart"), ("trace", string % ALLOWED), ("trace", string % "no adapter"),
        ("trace", user), ("trace", number), ("trace", string % "no adapter has this address"),
        ("trace", r'L"0x[0-9A-F]{8}"'), ("trace", r'L"0x[0-9A-F]{8}"'),
        ("warn", user), ("warn", number), ("warn", string % REFUSED),
        ("err", string % "AllowedAdapters"),
    ]
    # The sequences in order, each event's strings one after another.
    at = 0
    for level, pattern in wanted:
        while at < len(events) and not (events[at][0] == level and re.fullmatch(pattern, events[at][1])):
            at += 1
        if at == len(events):
            return fail("no %s event string matching %s in order" % (level, pattern), work)
        at += 1
    print("The restart, the refusal and the failed start were reported with their strings and levels.")
    return 0


def copy_prefix(template, prefix):
    """Copies the suite's prefix while the other tests use it: their scratch
    folders come and go, so what vanishes during the copy is left out."""
    def scratch(folder, names):
        return [n for n in names if n.startswith("tobra-")] if os.path.basename(folder) == "drive_c" else []

    def copy(source, target):
        try:
            shutil.copy2(source, target, follow_symlinks=False)
        except FileNotFoundError:
            pass

    try:
        shutil.copytree(template, prefix, symlinks=True, ignore=scratch, copy_function=copy)
    except shutil.Error as error:
        lost = [entry for entry in error.args[0] if os.path.lexists(entry[0])]
        if lost:
            raise


def fail(message, work):
    print("FAILED: " + message)
    for name in ("tool.out", "session.err"):
        path = os.path.join(work, name)
        if os.path.exists(path):
            print("--- %s" % name)
            with open(path, errors="replace") as f:
                print(f.read()[-6000:])
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3]))
