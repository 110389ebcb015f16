#!/usr/bin/env python3
"""Runs PowerShell for Linux: pwsh.py PWSH ARG...

PowerShell roots its "/" drive in a file system of the mount table. Where
"/" is no mount point (a system entered with chroot, as a Debian made by
debootstrap is) it takes another, /proc say, and then loads no module and
mangles every absolute path. There, as root, it runs in a mount namespace
of its own in which "/" is bound onto itself; elsewhere, as it is.

The new namespace's mounts are made private first, as unshare(1) does:
where the caller's are shared (systemd's default), the bind would
otherwise appear in the caller's namespace too and outlive PowerShell. In
a chroot "/" is no mount point, whose propagation cannot be changed: the
change is made from the system's root, reached through the current folder,
and the chroot entered again."""
import ctypes
import os
import sys

CLONE_NEWNS, MS_BIND, MS_REC, MS_PRIVATE = 0x20000, 0x1000, 0x4000, 0x40000

with open("/proc/self/mountinfo", encoding="utf-8") as table:
    rooted = any(line.split()[4] == "/" for line in table)
if not rooted and os.geteuid() == 0:
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS):
        sys.exit(f"pwsh.py: no mount namespace of its own: {os.strerror(ctypes.get_errno())}")
    # Opened in the new namespace: a folder opened before is the old one's.
    cwd, root = os.getcwd(), os.open("/", os.O_DIRECTORY)
    os.chdir("/")
    os.chroot("/proc")  # the current folder is now outside the root, and ".." climbs
    here = lambda path: (os.stat(path).st_dev, os.stat(path).st_ino)
    while here(".") != here(".."):
        os.chdir("..")
    private = libc.mount(None, b".", None, MS_REC | MS_PRIVATE, None)
    os.fchdir(root)
    os.chroot(".")
    os.chdir(cwd)
    if private or libc.mount(b"/", b"/", None, MS_BIND, None):
        sys.exit(f"pwsh.py: cannot make / a mount point: {os.strerror(ctypes.get_errno())}")
os.execv(sys.argv[1], sys.argv[1:])
