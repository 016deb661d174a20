#!/usr/bin/env python3
"""tobra_client.dll's interface as objdump reads it: the exported names are
exactly the functions that tobra_client.h and tobra_wire.h declare (and the
.def names), and the DLL imports nothing but kernel32, advapi32 and msvcrt.
  check_dll_interface.py OBJDUMP DLL CLIENT_DIR COMMON_DIR"""
import os
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
# A declaration starts a line: a return type, then the function's name.
DECLARATION = re.compile(r"^[A-Za-z_][\w \*]*?\b(Tobra[A-Za-z0-9]+)\s*\(", re.M)


def declared(header):
    text = open(header, encoding="utf-8").read()
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    text = re.sub(r"^\s*#.*$", "", text, flags=re.M)
    return set(DECLARATION.findall(text))


def main(objdump, dll, client_dir, common_dir):
    dump = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    table = dump.split("[Ordinal/Name Pointer] Table", 1)
    exports = set(re.findall(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", table[1], re.M)) if len(table) == 2 else set()
    imports = {name.lower() for name in re.findall(r"^\s*DLL Name:\s*(\S+)", dump, re.M)}
    header = declared(os.path.join(client_dir, "tobra_client.h")) | declared(os.path.join(common_dir, "tobra_wire.h"))
    definition = open(os.path.join(client_dir, "tobra_client.def"), encoding="utf-8").read().split("EXPORTS", 1)[1]
    listed = {line.split(";")[0].strip() for line in definition.splitlines()} - {""}

    failures = 0
    for what, names in (("declared in the headers but not exported", header - exports),
                        ("exported but not declared in the headers", exports - header),
                        ("declared in the headers but not in tobra_client.def", header - listed),
                        ("imported, not a system DLL", imports - SYSTEM_DLLS)):
        if names:
            print(f"FAILED: {what}: {', '.join(sorted(names))}")
            failures += 1
    print(f"exports ({len(exports)}): {', '.join(sorted(exports))}")
    print(f"imports: {', '.join(sorted(imports))}")
    if len(header) < 10:
        print(f"FAILED: only {len(header)} functions found in the headers")
        failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:5]))
