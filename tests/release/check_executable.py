#!/usr/bin/env python3
"""Checks the built executable without running it (no Wine needed): its
manifest and version resource, that it is a 64-bit console program of at
most 64 KiB that holds no build path, and that it imports only Windows' own
DLLs.

    check_executable.py EXE SOURCE_DIR BUILD_DIR
"""
import re
import subprocess
import sys
from pathlib import Path


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    exe, source, build = Path(sys.argv[1]), sys.argv[2], sys.argv[3]
    problems = []
    rc = subprocess.run(["x86_64-w64-mingw32-windres", "-i", str(exe), "-O", "rc"],
                        capture_output=True, text=True, check=True).stdout
    for text in ['level=""asInvoker""', 'uiAccess=""false""', 'BLOCK "040904b0"',
                 'VALUE "FileVersion", "1.0.0.1"', 'VALUE "ProductVersion", "1.0.0.1"',
                 "FILEVERSION 1, 0, 0, 1", "PRODUCTVERSION 1, 0, 0, 1",
                 "FILETYPE 0x1"]:
        if text not in rc:
            problems.append(f"resources lack {text}")
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(exe)],
                          capture_output=True, text=True, check=True).stdout
    if "file format pei-x86-64" not in dump:
        problems.append("not an x86-64 executable")
    if not re.search(r"Subsystem\s+00000003", dump):
        problems.append("not a console program")
    size = exe.stat().st_size
    if size > 64 * 1024:
        problems.append(f"the exe has grown to {size} bytes, over 64 KiB")
    image = exe.read_bytes()
    for path in {str(Path(source).resolve()), str(Path(build).resolve())}:
        if path.encode() in image:
            problems.append(f"the exe holds the build path {path}")
    dlls = re.findall(r"DLL Name: (\S+)", dump)
    system = {"kernel32.dll", "advapi32.dll", "ntdll.dll"}
    foreign = [d for d in dlls
               if d.lower() not in system and not d.lower().startswith("api-ms-win-crt-")]
    if foreign:
        problems.append(f"imports DLLs that are not Windows' own: {foreign}")
    print(f"{exe.name}: {size} bytes; imports {', '.join(dlls)}")
    for problem in problems:
        print(f"FAILED: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
