#!/usr/bin/env python3
"""Runs PowerShell for Linux: pwsh.py PWSH ARG...

PowerShell roots its "/" drive in a file system of the mount table. Where
"/" is no mount point (a system entered with chroot, as a Debian made by
debootstrap is) it takes another, /proc say, and then loads no module and
mangles every absolute path. There, as root, it runs in a mount namespace
of its own in which "/" is bound onto itself; elsewhere, as it is."""
import ctypes
import os
import sys

CLONE_NEWNS, MS_BIND = 0x20000, 0x1000

with open("/proc/self/mountinfo", encoding="utf-8") as table:
    rooted = any(line.split()[4] == "/" for line in table)
if not rooted and os.geteuid() == 0:
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) or libc.mount(b"/", b"/", None, MS_BIND, None):
        sys.exit(f"pwsh.py: cannot make / a mount point: {os.strerror(ctypes.get_errno())}")
os.execv(sys.argv[1], sys.argv[1:])
