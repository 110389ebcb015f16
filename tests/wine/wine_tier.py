#!/usr/bin/env python3
"""End-to-end tests of the real cleanup executable, under Wine or on a
disposable Windows machine.

Each case seeds a machine with a sample installation of the product
(registry trees under the cleanup rows, keys that are not the product's and
must survive, a link inside a tree, a stand-in deployment installer that
records how it was started, and a real MSI installed through msiexec), runs
the executable and checks what is left. Two kinds of machine run the same
cases:

- a Wine prefix: booted once per run as a template, and either copied for
  each case or kept for all of them and restored between cases;
- the Windows machine this driver runs on (a Windows Python, as an
  administrator): kept, and restored between cases.

    wine_tier.py --build DIR template      boot the shared prefix, build the
                                           sample MSI
    wine_tier.py --build DIR case NAME     one case, in a copied prefix
    wine_tier.py --build DIR kept [NAME]   the cases in one kept prefix, then
                                           compare it with a fresh one
    wine_tier.py --build DIR windows --this-machine-is-disposable [NAME]
                                           the cases on this Windows machine
    wine_tier.py --build DIR discard       remove the shared prefix
    wine_tier.py --build DIR demo          show a run, before and after
    wine_tier.py list                      the names of the cases

On Windows, DIR holds what the Linux build made: bin/, test-helpers/ and
wine-tier/msi/sample.msi.

Rows of the cleanup table are named by number from 1, as the program's own
table lists them (row(30) is the 30th row). The tables come from the
program's own source, through the print-tables helper built from it.
"""
import argparse
import contextlib
import ctypes
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

WAIT_MESSAGE = "Please wait while product cleanup completes...\n"
# What the stand-in installer writes to the output it shares with the exe:
# after the wait message, which must not wait in the exe's buffer.
INSTALLER_LINE = "stand-in installer: uninstalling\n"
WITH_INSTALLER = WAIT_MESSAGE + 2 * INSTALLER_LINE
# Rows that Windows Installer writes when it installs the sample MSI.
MSI_ROWS = {14, 15, 16, 17, 18, 38, 57}
# Where the system account's run keeps the cleanup and its output: a new
# folder there is one that only administrators can write to.
SYSTEM_RUN = "C:\\Program Files\\Ravon2 system test"
# What a cleanup run may take: its own wait for a busy Windows Installer is
# bounded at 10 minutes.
CLEANUP_TIMEOUT = 900
# A row that is itself a link, and the leaf it points at.
LINK_ROW = 50
LINKED_LEAF_VALUE = ("HKLM\\SOFTWARE\\Tarnholt\\LinkedLeaf", "Keep", "also")
NEIGHBOUR_VALUE = ("HKLM\\SOFTWARE\\Tarnholt\\Neighbour\\Child", "Keep", "yes")
# What Wine writes to a program's standard error when it cannot read a
# drive's block device.
WINE_VOLUME_LINE = re.compile(r'(?m)^wine: Read access denied for device L"[^"\n]*", FS volume '
                              r'label and serial are not available\.\n')
# Where a Windows machine keeps its environment, and the one line the
# detection script writes when a lockdown policy runs it in
# ConstrainedLanguage mode.
MACHINE_ENVIRONMENT = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment"
CONSTRAINED_LINE = ("not clean: PowerShell runs this script in ConstrainedLanguage mode, as an "
                    "application control policy does with a script it does not trust; it needs "
                    "FullLanguage\n")
# What the test host's .NET runtime is told under Wine: map the code it
# compiles once, not twice (writable, and executable), as it has since .NET
# 7. On Wine 8.0 under load, freeing such code crashed it ("Internal CLR
# error" in DynamicResolver+DestroyScout.Finalize).
POWERSHELL_RUNTIME = {"DOTNET_EnableWriteXorExecute": "0"}


# Debian's Wine starts a process without a preloader, so nothing holds
# the page Wine needs at 0x7ffe0000 for the shared user data until its own
# code runs, and the kernel puts the process's heap anywhere in the
# gigabyte above the loader at 0x7d000000. About one start in 4000, the
# heap lies over that page: the process ends with status 1 before its first
# line, and says why ("failed to map the shared user data: c0000018") only
# to err+all. Without address randomization the heap starts right above
# the loader, every time; every process of a run inherits that.
ADDR_NO_RANDOMIZE = 0x0040000
IMAGE_FILE_MACHINE_ARM64 = 0xAA64


def fixed_addresses():
    """Starts every program of this run without address randomization."""
    libc = ctypes.CDLL(None, use_errno=True)
    current = libc.personality(0xFFFFFFFF)
    if current == -1 or libc.personality(current | ADDR_NO_RANDOMIZE) == -1:
        print(f"note: address randomization stays on ({os.strerror(ctypes.get_errno())}); "
              "about one Wine start in 4000 may then end with status 1 and say nothing",
              file=sys.stderr)


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Tables:
    """The cleanup's tables as print-tables.exe prints them."""

    def __init__(self, text):
        self.rows, self.bundles, self.product = [], [], None
        for line in text.splitlines():
            kind, *fields = line.split("\t")
            if kind == "row":
                self.rows.append(fields[1])
            elif kind == "bundle":
                self.bundles.append(fields[1])
            elif kind == "product":
                self.product = fields[0]
        check(self.rows and self.bundles and self.product, "cannot read the tables")

    def row(self, number):
        """Row `number` of CleanupKeys, counted from 1."""
        check(1 <= number <= len(self.rows), f"no row {number}")
        return self.rows[number - 1]


def braced(packed):
    """Inverse of Windows Installer's packing: reverse the first three
    groups, swap the digits of each remaining byte."""
    r = lambda s: s[::-1]
    rest = "".join(packed[i + 1] + packed[i] for i in range(16, 32, 2))
    return "{%s-%s-%s-%s-%s}" % (r(packed[0:8]), r(packed[8:12]),
                                 r(packed[12:16]), rest[:4], rest[4:])


WXS = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{product}" Name="Ravon2 sample" Language="1033" Version="2.0.0"
           Manufacturer="Tarnholt" UpgradeCode="{upgrade}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="sample.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="VendorDir" Name="Tarnholt">
          <Directory Id="INSTALLDIR" Name="Ravon2">
            <Component Id="MainFile" Guid="{component}" Win64="yes">
              <File Id="Payload" Name="ravon2.txt" Source="ravon2.txt" KeyPath="yes"/>
            </Component>
          </Directory>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1"><ComponentRef Id="MainFile"/></Feature>
    <!-- Removing it asks for a restart: Windows Installer would restart the
         machine by itself, unless told not to. -->
    <InstallExecuteSequence>
      <ScheduleReboot After="InstallFinalize">REMOVE="ALL"</ScheduleReboot>
    </InstallExecuteSequence>
  </Product>
</Wix>
"""


class Tier:
    def __init__(self, build, work="wine-tier"):
        self.build = Path(build).resolve()
        self.work = self.build / work
        self.template = self.work / "template"
        self.exe = self.build / "bin" / "ravon2-cleanup.exe"
        self.helpers = self.build / "test-helpers"
        self.tables_file = self.work / "tables.txt"
        # Beside the work folder, so that discarding it keeps a failed case's logs.
        self.logs = self.build / "wine-tier-logs"
        self._tables = None

    @property
    def tables(self):
        if self._tables is None:
            self._tables = Tables(self.tables_file.read_text())
        return self._tables

    def set_tables(self, text):
        self._tables = Tables(text)

    def boot_template(self):
        if self.template.exists():
            shutil.rmtree(self.template)
        self.work.mkdir(parents=True, exist_ok=True)
        env = wine_env(self.template)
        subprocess.run(["wineboot", "--init"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=300)
        tables = subprocess.run(["wine", str(self.helpers / "print-tables.exe")], env=env,
                                check=True, capture_output=True, text=True, timeout=300)
        subprocess.run(["wineserver", "-w"], env=env, check=True, timeout=300)
        self.tables_file.write_text(tables.stdout.replace("\r\n", "\n"))
        self.build_msi()

    def build_msi(self):
        """An MSI whose product, upgrade and component codes are the ones the
        cleanup rows name (rows 16 and 18 hold the packed forms)."""
        t = self.tables
        msi_dir = self.work / "msi"
        msi_dir.mkdir(parents=True, exist_ok=True)
        upgrade = braced(t.row(16).rsplit("\\", 1)[1])
        component = braced(t.row(18).rsplit("\\", 1)[1])
        (msi_dir / "ravon2.txt").write_text("Ravon2 sample payload\n")
        (msi_dir / "sample.wxs").write_text(WXS.format(
            product=t.product, upgrade=upgrade, component=component))
        subprocess.run(["wixl", "-a", "x64", "-o", "sample.msi", "sample.wxs"],
                       cwd=msi_dir, check=True, timeout=120,
                       stderr=subprocess.DEVNULL)

    def discard(self):
        shutil.rmtree(self.work, ignore_errors=True)


def wine_env(prefix):
    """Wine's environment for a prefix. Its home is a folder of the run's
    own, beside the prefix: the caller's may belong to another user (a
    container job's), and Wine would link its user folders and write its
    menus there."""
    home = Path(prefix).parent / "home"
    home.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ)
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", HOME=str(home))
    for name in ("DISPLAY", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"):
        env.pop(name, None)
    return env


class Machine:
    """Where the cases run. The two kinds differ in how a program is started
    (`launcher`), where C:\\ lies (`c_drive`, `native`), where the system
    folder is (`system_folder`), how much of an exit status reaches the
    driver (`status_bits`), how a failing helper is made to say why
    (`telling`), and how the machine is made fresh for a case (a copied
    prefix, or a `Restorer`)."""

    def __init__(self, tier, work, launcher, c_drive, env):
        self.tier, self.work = tier, Path(work)
        self.launcher, self.c_drive, self.env = launcher, Path(c_drive), env
        # The current case's folder for logs: kept when the case fails.
        self.logs = self.work
        self.msiexec_runs = 0

    def drive_c(self, windows_path):
        check(windows_path[:3].upper() == "C:\\", windows_path)
        return self.c_drive / windows_path[3:].replace("\\", "/")

    def native(self, path):
        """The machine's own name of a file the driver holds."""
        return str(path)

    def system(self, name):
        """A program of the system folder, by its full path: the driver
        runs as an administrator, and a name alone is looked for in the
        current folder first."""
        return self.system_folder + "\\" + name

    # The bits of an exit status that reach the driver, and the environment
    # of a program whose failure must say why.
    status_bits, telling = 0xFFFFFFFF, None

    def run(self, *args, timeout=300, cwd=None, env=None, stdin=None):
        result = subprocess.run([*self.launcher, *map(str, args)], env=env or self.env,
                                cwd=cwd, stdin=stdin, capture_output=True, timeout=timeout)
        decode = lambda b: b.decode("utf-8", "replace").replace("\r\n", "\n")
        return result.returncode, decode(result.stdout), decode(result.stderr)

    def checked(self, program, *args):
        """Runs a program that must succeed, such as a test helper; a
        failure shows all that it printed."""
        status, out, err = self.run(program, *args, env=self.telling)
        check(status == 0, f"{Path(str(program)).name} failed ({status})\n"
                           f"--- its standard output:\n{out}--- its standard error:\n{err}---")
        return out

    def start(self, *args):
        """Starts a program without waiting for it; its standard error goes
        to a file in the case's logs, named in `errors`."""
        errors = self.logs / (Path(str(args[0])).stem + ".stderr")
        with open(errors, "wb") as sink:
            process = subprocess.Popen([*self.launcher, *map(str, args)], env=self.env,
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=sink)
        process.errors = errors
        return process

    def regtool(self, lines):
        script = self.logs / "regtool-commands.txt"
        script.write_text("\n".join(lines) + "\n", encoding="utf-8")
        return self.checked(self.tier.helpers / "regtool.exe", self.native(script)).splitlines()

    def present(self, keys):
        answers = self.regtool([f"query\t{k}" for k in keys])
        return {k: a == "present" for k, a in zip(keys, answers)}

    def product_state(self):
        return int(self.regtool([f"product\t{self.tier.tables.product}"])[0])

    def run_cleanup(self, *args, launcher_settings=None, exe=None, cwd=None):
        exe = exe or self.tier.exe
        if launcher_settings is None:
            return self.run(exe, *args, cwd=cwd, timeout=CLEANUP_TIMEOUT)
        return self.run(self.tier.helpers / "launcher.exe", *launcher_settings,
                        "--", exe, *args, cwd=cwd, timeout=CLEANUP_TIMEOUT)

    def installer_calls(self):
        log = self.drive_c("C:\\installer-calls.log")
        calls = []
        if not log.exists():
            return calls
        for line in log.read_text(encoding="utf-8-sig").splitlines():
            kind, _, rest = line.partition("\t")
            if kind == "call":
                calls.append({"line": rest[len("line="):], "args": [], "state": {}})
            elif kind == "arg":
                calls[-1]["args"].append(rest)
            elif kind == "state":
                calls[-1]["state"] = dict(p.split("=") for p in rest.split())
            elif kind in ("cwd", "system"):
                calls[-1][kind] = rest
        return calls


class Prefix(Machine):
    """A Wine prefix copied from the template: fresh by construction."""

    def __init__(self, tier):
        path = Path(tempfile.mkdtemp(prefix="case-", dir=tier.work))
        shutil.rmtree(path)
        subprocess.run(["cp", "-a", str(tier.template), str(path)], check=True)
        super().__init__(tier, path, ["wine"], path / "drive_c", wine_env(path))
        self.path = path
        # The wine command exits with the program's status, and a Linux
        # process's status has 8 bits: 3010 arrives as 194. Wine's own
        # errors tell why a program died before its first line, which then
        # prints nothing else (without Wine's hint about 32-bit support).
        self.status_bits = 0xFF
        self.telling = dict(self.env, WINEDEBUG="-all,err+all")
        self.system_folder = "C:\\windows\\system32"
        # Wine's server and services start with the first program and would
        # keep its output pipes open, so that every run waited for them to
        # end: start them once, apart, and keep them.
        subprocess.run(["wineserver", "-p"], env=self.env, check=True)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env, timeout=300,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def native(self, path):
        return "Z:" + str(path).replace("/", "\\")

    def powershells(self):
        """The build's Windows PowerShell 7.6 for each architecture, with the
        reason where it cannot run. Wine fills syswow64 only where it has
        its 32-bit half."""
        no_32 = None if (self.c_drive / "windows/syswow64/kernel32.dll").exists() else (
            "this Wine cannot run 32-bit programs (on Debian that takes the i386 architecture "
            "and wine32, which the set-up does not add)")
        return [(f"PowerShell 7.6, {rid}", bits, self.tier.build / "powershell" / rid /
                 "powershell-host.exe", why) for rid, bits, why in
                (("win-x64", "64", None), ("win-x86", "32", no_32))]

    def run_powershell(self, shell, *args, env):
        """Runs a hosted PowerShell with a console, as a management agent
        does: on Wine a program started from Linux has one only when a
        terminal is among its standard handles. The .NET runtime loads its
        IL-only assemblies through mscoree, which other runs keep off, and
        must see nothing of a Linux .NET. Wine itself writes a line to
        standard error when it cannot read a drive's block device (Z: is /)
        as PowerShell lists the drives: not the script's, and left out."""
        env = {k: v for k, v in env.items() if not k.upper().startswith(("DOTNET_", "COREHOST_"))}
        env.update(POWERSHELL_RUNTIME, WINEDLLOVERRIDES="mshtml=", POWERSHELL_TELEMETRY_OPTOUT="1")
        console, terminal = os.openpty()
        try:
            status, out, err = self.run(shell, *args, env=env, stdin=terminal)
        finally:
            os.close(terminal)
            os.close(console)
        return status, out, re.sub(WINE_VOLUME_LINE, "", err)

    def stop(self):
        """Ends the prefix's Wine processes; the registry is then on disk."""
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stderr=subprocess.DEVNULL)

    def close(self):
        self.stop()
        shutil.rmtree(self.path, ignore_errors=True)


class ThisWindows(Machine):
    """The Windows machine the driver runs on, kept from case to case."""

    def __init__(self, tier):
        super().__init__(tier, tempfile.mkdtemp(prefix="ravon2-tier-"), [], "C:\\",
                         dict(os.environ))
        self.system_folder = os.path.join(os.environ["SystemRoot"], "System32")

    def powershells(self):
        skip = lambda bits, shell: (f"on Windows on Arm, no {shell}" if bits == "32" and
                                    not shell.exists() and windows_on_arm() else None)
        return [(name, bits, shell, skip(bits, shell)) for name, bits, shell in powershells()]

    run_powershell = Machine.run


class Installation:
    """A sample installation: what the cleanup must remove and what it must
    leave alone."""

    def __init__(self, tier):
        t = tier.tables
        row = lambda number: "HKLM\\" + t.row(number)
        numbers = range(1, len(t.rows) + 1)
        self.removed = [row(n) for n in numbers]
        # Subkeys below some rows, by row number.
        deep = {
            1: ["SourceList\\Net"],
            2: ["SourceList\\Media", "SourceList\\Net"],
            30: ["Components\\Core\\Files", "Components\\Extra", "Settings"],
            39: ["Details\\More"],
            61: ["a\\b\\c", "a\\d", "e"],
        }
        self.commands = []
        self.msi_commands = []
        for n in numbers:
            # The sample MSI registers these itself; a value added to them
            # would change what Windows Installer does on removal (a value
            # of a component key is a client that keeps its files).
            into = self.msi_commands if n in MSI_ROWS else self.commands
            if n == LINK_ROW:
                # The row itself is a link to a leaf that is not the
                # product's: the link goes, the leaf stays.
                into.append(f"link\t{row(n)}\t{LINKED_LEAF_VALUE[0]}")
                continue
            into.append(f"value\t{row(n)}\tDisplayName\trow {n}")
            for sub in deep.get(n, []):
                self.commands.append(f"key\t{row(n)}\\{sub}")
                self.removed.append(f"{row(n)}\\{sub}")
        # A link inside a tree, pointing at a key that is not the product's.
        link = row(30) + "\\Shared"
        self.values = [NEIGHBOUR_VALUE, LINKED_LEAF_VALUE]
        self.commands += ["value\t" + "\t".join(v) for v in self.values]
        self.commands += [
            f"key\t{NEIGHBOUR_VALUE[0]}\\Deeper",
            f"link\t{link}\tHKLM\\SOFTWARE\\Tarnholt\\Neighbour",
        ]
        self.removed.append(link)
        self.kept = [
            LINKED_LEAF_VALUE[0],
            "HKLM\\SOFTWARE\\Tarnholt\\Neighbour",
            NEIGHBOUR_VALUE[0],
            NEIGHBOUR_VALUE[0] + "\\Deeper",
            "HKLM\\SOFTWARE\\Tarnholt\\Ravon2",
            "HKLM\\SOFTWARE\\Tarnholt\\Ravon2\\Settings",
            row(30) + "-Backup",           # shares the row's name as a prefix
            row(38) + ".old",
            row(1)[:-1],                   # a prefix of the row's name
            row(61)[:-1] + "0}",
            "HKLM\\SOFTWARE\\Classes\\Installer\\Patches",
            "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
        ]
        # The same paths in the 32-bit view and under the current user.
        for path in (t.row(30), t.row(38), t.row(41), t.row(1)):
            self.kept.append("HKLM\\" + path.replace("SOFTWARE\\", "SOFTWARE\\WOW6432Node\\", 1))
            self.kept.append("HKCU\\" + path + "\\Sub")
        self.commands += [f"key\t{k}" for k in self.kept]

    def seed(self, machine, installer=True, msi=True, program_data="C:\\ProgramData"):
        if msi:
            install_msi(machine)
        if installer:
            target = machine.drive_c("C:\\Program Files\\Tarnholt\\Quorvel\\V1\\Installer.exe")
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(machine.tier.helpers / "stand-in-installer.exe", target)
        for bundle in machine.tier.tables.bundles:
            manifest = machine.drive_c(program_data + f"\\Tarnholt\\Brevat\\metadata\\{bundle}\\bundleManifest.xml")
            manifest.parent.mkdir(parents=True, exist_ok=True)
            manifest.write_text("<bundleManifest/>\n")
        machine.regtool(self.commands + ([] if msi else self.msi_commands))
        state = machine.present(self.removed + self.kept)
        check(all(state.values()), "seeding left keys out: " +
              ", ".join(k for k, v in state.items() if not v))

    def check_cleaned(self, machine):
        state = machine.present(self.removed + self.kept)
        left = [k for k in self.removed if state[k]]
        lost = [k for k in self.kept if not state[k]]
        check(not left, "keys left behind: " + ", ".join(left))
        check(not lost, "keys that are not the product's were deleted: " + ", ".join(lost))
        values = machine.regtool([f"get\t{key}\t{name}" for key, name, _ in self.values])
        check(values == [data for _, _, data in self.values],
              f"the link targets' values changed: {values}")


def msiexec(machine, *args, expect=(0,)):
    """Runs msiexec, never letting it restart the machine (the sample
    product asks for a restart on removal), and again while another
    installation keeps Windows Installer busy (1618; on a Windows runner, an
    update may). Each run writes a verbose log to the case's logs (on Wine,
    with Windows Installer's trace beside it); an answer not in `expect`
    fails with the lines of those that tell why."""
    for _ in range(60):
        machine.msiexec_runs += 1
        log = machine.logs / f"msiexec-{machine.msiexec_runs:02}.log"
        env = machine.telling and dict(machine.telling, WINEDEBUG="-all,err+all,+msi")
        status, _, err = machine.run(machine.system("msiexec.exe"), *args, "/norestart",
                                     "/l*v", machine.native(log), env=env)
        if err:
            log.with_suffix(".trace").write_text(err, encoding="utf-8")
        if status != 1618 & machine.status_bits:
            break
        time.sleep(5)
    wanted = [code & machine.status_bits for code in expect]
    check(status in wanted, f"msiexec {' '.join(args)} answered {status}, not "
                            f"{' or '.join(map(str, wanted))}; from {log}:\n" + told(log, err))
    return status


def told(log, trace):
    """The lines of a Windows Installer log, and of Wine's trace, that say
    why an installation failed, with the last lines of each."""
    data = log.read_bytes() if log.exists() else b""
    text = data.decode("utf-16" if data[:2] == b"\xff\xfe" else "utf-8", "replace")
    marks = ("Return value 3", "Error ", "error status", "is returning", ":err:", ":warn:")
    lines = []
    for what, body in (("log", text.splitlines()), ("trace", trace.splitlines())):
        lines += [f"  {what}: {l}" for l in body if any(m in l for m in marks)][-30:]
        lines += [f"  {what}, last: {l}" for l in body[-10:]]
    return "\n".join(lines) or "  (no log was written)"


def install_msi(machine):
    msi_path = machine.tier.work / "msi" / "sample.msi"
    msiexec(machine, "/i", machine.native(msi_path), "/q")
    check(machine.product_state() == 5, "the sample MSI is not installed")


def expected_args(bundle, program_files="C:\\Program Files", program_data="C:\\ProgramData"):
    return [program_files + "\\Tarnholt\\Quorvel\\V1\\Installer.exe",
            "-i", "uninstall", "--silent", "--trigger_point", "system", "-m",
            program_data + f"\\Tarnholt\\Brevat\\metadata\\{bundle}\\bundleManifest.xml"]


def check_installer_calls(machine, program_data="C:\\ProgramData"):
    calls = machine.installer_calls()
    check(len(calls) == 2, f"expected 2 installer calls, got {len(calls)}")
    for call, bundle in zip(calls, machine.tier.tables.bundles):
        want = expected_args(bundle, program_data=program_data)
        check(call["args"] == want, f"installer arguments {call['args']} != {want}")
        check(call["state"].get("manifest") == "1", "the manifest path did not name the manifest")
        check(call["state"].get("keys") == "1", "the registry stage ran before the installer")
        check(call["cwd"].lower() == call["system"].lower(),
              f"the installer began in {call['cwd']}, not in the system folder {call['system']}")
    return calls


def check_product_removed(machine):
    check(machine.product_state() == -1, "Windows Installer still knows the product")
    payload = machine.drive_c("C:\\Program Files\\Tarnholt\\Ravon2\\ravon2.txt")
    check(not payload.exists(), "the product's installed file is still there")


# ---------------------------------------------------------------- cases

def windows_on_arm():
    """True on Windows on Arm64, whether this Python is Arm64 or x64 (most
    other calls tell an emulated x64 process that it runs on x64)."""
    process, native = ctypes.c_ushort(), ctypes.c_ushort()
    check(ctypes.windll.kernel32.IsWow64Process2(ctypes.c_void_p(-1), ctypes.byref(process),
                                                 ctypes.byref(native)), "IsWow64Process2 failed")
    return native.value == IMAGE_FILE_MACHINE_ARM64


def powershells():
    """Each PowerShell a management agent may start, by its bitness: the
    64-bit and the 32-bit Windows PowerShell, and PowerShell 7. On Windows
    on Arm the 64-bit ones are Arm64, and the 32-bit one is x86, emulated,
    where the system has one."""
    # Only a 32-bit process is sent from System32 to SysWOW64 (Sysnative
    # is then the real System32); an x64 one on Arm64 is not.
    native = "Sysnative" if sys.maxsize < 2**32 else "System32"
    shells = [(f"Windows PowerShell, {bits}-bit", bits, Path(
        os.environ["SystemRoot"], folder, "WindowsPowerShell", "v1.0", "powershell.exe"))
              for bits, folder in (("64", native), ("32", "SysWOW64"))]
    return shells + [("PowerShell 7", "64", Path(os.environ["ProgramFiles"], "PowerShell", "7",
                                                 "pwsh.exe"))]


def check_detection(tier, machine, cleaned):
    """The fleet's detection script, under each PowerShell: after the
    cleanup it prints `cleaned`; before it, nothing, and with -Explain it
    lists the product and every row on standard error. A signed copy (made
    by the Windows workflow) answers the same under AllSigned, where the
    unsigned file is refused. On Wine, the build's own Windows PowerShell
    runs it, and also once under a lockdown policy."""
    script = tier.build / "bin" / "detect-cleaned.ps1"
    signed = tier.build / "bin" / "signed" / "detect-cleaned.ps1"
    before = not cleaned
    if not signed.exists() and before:
        print(f"signed detection script: skipped: no {signed} (the workflow makes one)")
    remains = {f"remains: product {tier.tables.product}: Windows Installer reports state 5"}
    remains |= {f"remains: HKLM\\{r}" for r in tier.tables.rows}
    # As a management agent starts it: without the module path that
    # PowerShell 7 (the runner's shell) hands its children.
    env = {k: v for k, v in machine.env.items() if k.upper() != "PSMODULEPATH"}
    for name, bits, shell, why in machine.powershells():
        if why:
            if before:
                print(f"detection script, {name}: skipped: {why}")
            continue
        probe = machine.run_powershell(shell, "-NoProfile", "-Command",
                                       "[Environment]::Is64BitProcess", env=env)
        check(probe[0] == 0 and probe[1].strip() == str(bits == "64"),
              f"{shell} is not {bits}-bit: {probe}")
        run = lambda file, *extra, policy="Bypass": machine.run_powershell(
            shell, "-NoProfile", "-ExecutionPolicy", policy, "-File", file, *extra, env=env)
        label = f"detection script, {name}, {'after' if cleaned else 'before'} the cleanup"
        status, out, err = answer = run(script)
        # Configuration Manager takes any text on standard error for a failure.
        check(status == 0 and err == "", f"{label}: {status} {out!r} {err!r}")
        check(out == ("cleaned\n" if cleaned else ""), f"{label}: printed {out!r}")
        status, out, err = run(script, "-Explain")
        listed = set(err.splitlines())
        check(status == 0 and out == ("cleaned\n" if cleaned else ""),
              f"{label}, -Explain: {status} {out!r} {err!r}")
        check(listed == (set() if cleaned else remains),
              f"{label}, -Explain: missing {sorted(remains - listed)}, "
              f"not expected {sorted(listed - remains)}")
        print(f"{label}: {out.strip() or 'nothing'}, {len(listed)} line(s) with -Explain")
        if signed.exists():
            signed_answer = run(signed, policy="AllSigned")
            check(signed_answer == answer, f"{label}, signed under AllSigned: {signed_answer}")
            status, out, err = run(script, policy="AllSigned")
            check(out == "" and "not digitally signed" in err,
                  f"{label}: the unsigned script was not refused under AllSigned: "
                  f"{status} {out!r} {err!r}")
            print(f"{label}: the signed copy answers alike under AllSigned, "
                  "the unsigned file is refused")
        if isinstance(machine, Prefix) and before and bits == "64":
            # Under a lockdown policy (the machine's __PSLockdownPolicy 4,
            # which a Windows PowerShell honours for a script outside
            # System32) the script runs in ConstrainedLanguage mode: its one
            # line on standard error, and no answer. Set for this one run,
            # on Wine only: a runner's machine is not changed.
            reg = lambda verb, *extra: machine.checked(
                machine.system("reg.exe"), verb, MACHINE_ENVIRONMENT, "/v", "__PSLockdownPolicy",
                *extra, "/f")
            reg("add", "/t", "REG_SZ", "/d", "4")
            try:
                answer = run(script, "-Explain")
            finally:
                reg("delete")
            check(answer == (0, "", CONSTRAINED_LINE), f"{label}, under a lockdown policy: {answer}")
            print(f"{label}, under a lockdown policy: nothing, and its one ConstrainedLanguage line")


def case_full_run(tier, machine):
    install = Installation(tier)
    install.seed(machine)
    check_detection(tier, machine, cleaned=False)
    started = time.monotonic()
    status, out, err = machine.run_cleanup("/?", "--force", "stray argument")
    print(f"the cleanup took {time.monotonic() - started:.1f} s")
    check(status == 0, f"exit status {status}")
    check(out == WITH_INSTALLER, f"unexpected output {out!r} (stderr {err!r})")
    calls = check_installer_calls(machine)
    for call in calls:
        check(call["state"].get("product") == "5",
              "the deployment installer ran after the MSI was removed")
    print("installer saw:", calls[0]["line"])
    check_product_removed(machine)
    install.check_cleaned(machine)
    check_detection(tier, machine, cleaned=True)

    status, out, err = machine.run_cleanup()
    check(status == 0, f"second run: exit status {status}")
    check(out == WITH_INSTALLER, f"second run: unexpected output {out!r}")
    check(len(machine.installer_calls()) == 4, "second run: installer not started twice more")
    install.check_cleaned(machine)


def case_programdata_with_space_and_ampersand(tier, machine):
    program_data = "C:\\Shared Data & More"
    install = Installation(tier)
    install.seed(machine, msi=False, program_data=program_data)
    status, out, err = machine.run_cleanup(launcher_settings=[f"ProgramData={program_data}"])
    check(status == 0, f"exit status {status}")
    check(out == WITH_INSTALLER and err == "", f"unexpected output {out!r} {err!r}")
    check_installer_calls(machine, program_data=program_data)
    install.check_cleaned(machine)


def case_programdata_unset_or_unusable(tier, machine):
    """ProgramData removed, holding a percent sign the command interpreter
    would expand, or too long for the command line: the bundles are skipped,
    the run ends with 0 and the rest of the cleanup runs. (Wine's strcat_s
    returns an error where Windows' ends the process; the host tier checks
    that the length is measured before strcat_s is called.)"""
    install = Installation(tier)
    install.seed(machine)
    for setting in ["-ProgramData", "ProgramData=C:\\Data%WINDIR%",
                    "ProgramData=C:\\" + "d" * 1100]:
        status, out, err = machine.run_cleanup(launcher_settings=[setting])
        check(status == 0, f"exit status {status} with {setting[:24]}")
        check(out == WAIT_MESSAGE, f"unexpected output {out!r} {err!r}")
        check(machine.installer_calls() == [], f"the installer was started with {setting[:24]}")
    check_product_removed(machine)
    install.check_cleaned(machine)


def case_installer_absent(tier, machine):
    install = Installation(tier)
    install.seed(machine, installer=False)
    status, out, err = machine.run_cleanup()
    check(status == 0, f"exit status {status}")
    check(out.startswith(WAIT_MESSAGE), f"unexpected output {out!r}")
    check_product_removed(machine)
    install.check_cleaned(machine)


def case_nothing_installed(tier, machine):
    before = machine.regtool([f"query\tHKLM\\{r}" for r in tier.tables.rows])
    check(before == ["absent"] * len(tier.tables.rows), "a new machine already holds product keys")
    status, out, err = machine.run_cleanup()
    check(status == 0, f"exit status {status}")
    check(out.startswith(WAIT_MESSAGE) and "Error opening key" not in out,
          f"unexpected output {out!r}")


# What the command interpreter would find before the system folder's
# programs if they were asked for by name.
PLANTED = ["msiexec.com", "msiexec.exe", "msiexec.bat", "msiexec.cmd", "cmd.exe"]


def plant(machine, folder, names=PLANTED):
    where = machine.drive_c(folder)
    where.mkdir(parents=True, exist_ok=True)
    for name in names:
        if name.endswith((".bat", ".cmd")):
            (where / name).write_text("@echo ran\t%~f0>>C:\\planted.log\r\n")
        else:
            shutil.copy(machine.tier.helpers / "planted-program.exe", where / name)
    return where


def case_planted_programs(tier, machine):
    """The exe started from a download folder, with another current folder,
    both holding programs named msiexec and cmd, with ComSpec set, unset and
    naming a missing file (where Windows' C runtime would look for cmd.exe
    by name, in the current folder first); and from a clean folder with a
    folder holding an msiexec.exe first on PATH. None of them may run:
    Windows Installer and the command interpreter are started by their full
    paths, and the MSI is removed each time."""
    install = Installation(tier)
    install.seed(machine)
    exe = plant(machine, "C:\\Downloads\\tool") / tier.exe.name
    shutil.copy(tier.exe, exe)
    here = plant(machine, "C:\\Downloads\\here")
    plant(machine, "C:\\Downloads\\onpath", ["msiexec.exe"])
    clean = machine.drive_c("C:\\Downloads\\clean")
    clean.mkdir()
    _, path, _ = machine.run(machine.system("cmd.exe"), "/c", "echo %PATH%")
    log = machine.drive_c("C:\\planted.log")
    runs = [("ComSpec set", [], here), ("ComSpec unset", ["-ComSpec"], here),
            ("ComSpec names a missing file", ["ComSpec=C:\\Missing\\cmd.exe"], exe.parent),
            ("msiexec.exe first on PATH",
             ["PATH=C:\\Downloads\\onpath;" + path.strip()], clean)]
    for number, (label, settings, cwd) in enumerate(runs):
        if number > 0:
            install_msi(machine)
        status, out, err = machine.run_cleanup(launcher_settings=settings, exe=exe, cwd=cwd)
        ran = log.read_text(encoding="utf-8-sig") if log.exists() else ""
        log.unlink(missing_ok=True)
        print(f"{label}: exit {status}, planted programs run: {ran.count(chr(10))}")
        check(ran == "", f"{label}: a planted program ran: {ran!r}")
        calls = len(machine.installer_calls())
        check(status == 0 and out == WITH_INSTALLER and calls == 2 * (number + 1),
              f"{label}: {status} {out!r} {err!r}, installer calls {calls}")
        check_product_removed(machine)


def case_installer_busy(tier, machine):
    """Another installation holds Windows Installer's mutex for a few
    seconds while the cleanup runs: msiexec must wait for it. (Wine's
    msiexec does not check the mutex, so one started early would remove the
    product while it is held.)"""
    install = Installation(tier)
    install.seed(machine)
    hold = 8
    holder = machine.start(tier.helpers / "mutex-holder.exe", hold)
    try:
        said = holder.stdout.readline().strip()
        if said != b"holding":
            holder.wait(timeout=60)
            raise Failure(f"the holder did not take the mutex ({holder.returncode}): "
                          + holder.errors.read_text(errors="replace"))
        started = time.monotonic()
        status, out, err = machine.run_cleanup()
        took = time.monotonic() - started
        holder.stdin.write(b"the cleanup has ended\n")
        holder.stdin.close()
        check(holder.wait(timeout=120) == 0,
              "the holder failed: " + holder.errors.read_text(errors="replace"))
    finally:
        if holder.poll() is None:
            holder.kill()
    log = machine.drive_c("C:\\mutex-holder.log").read_text().splitlines()
    print(f"held {hold} s; the cleanup took {took:.1f} s; {'; '.join(log)}")
    check(log[:1] == ["state at release: 5"],
          "the product was removed while Windows Installer was busy")
    check(log[1:] == ["after the cleanup: free"],
          "the cleanup did not give Windows Installer's mutex back")
    check(status == 0 and out == WITH_INSTALLER, f"{status} {out!r} {err!r}")
    check_installer_calls(machine)
    check_product_removed(machine)
    install.check_cleaned(machine)


def stress(machine, *mode):
    out = machine.checked(machine.tier.helpers / "registry-stress.exe", *mode)
    print(out, end="")
    check("stress: passed" in out, f"stress {' '.join(mode)} did not pass")


def case_stress_wide(tier, machine):
    stress(machine, "wide", "20000")


def case_stress_deep(tier, machine):
    stress(machine, "deep")


def case_stress_long_names(tier, machine):
    stress(machine, "long")


def case_stress_racing_writer(tier, machine):
    stress(machine, "racing")


def case_stress_trailing_backslash(tier, machine):
    stress(machine, "trailing")


def case_system_account(tier, machine):
    """The cleanup and then the detection script as a management tool runs
    them: as the system account, started by the Task Scheduler, from a
    folder only administrators can write to, the output captured there."""
    install = Installation(tier)
    install.seed(machine)
    folder = machine.drive_c(SYSTEM_RUN)
    folder.mkdir(parents=True)
    shutil.copy(tier.exe, folder / "ravon2-cleanup.exe")
    shutil.copy(tier.build / "bin" / "detect-cleaned.ps1", folder)
    at = lambda name: f'"{SYSTEM_RUN}\\{name}"'
    shell = machine.system("WindowsPowerShell\\v1.0\\powershell.exe")
    (folder / "run.cmd").write_text("\r\n".join([
        "@echo off",
        f"{at('ravon2-cleanup.exe')} >{at('cleanup.out')} 2>{at('cleanup.err')}",
        f">{at('cleanup.status')} echo %ERRORLEVEL%",
        f'"{shell}" -NoProfile -ExecutionPolicy Bypass -File {at("detect-cleaned.ps1")} '
        f"<NUL >{at('detect.out')} 2>{at('detect.err')}",
        f"\"{machine.system('whoami.exe')}\" >{at('whoami.txt')}",
        f">{at('done.txt')} echo done", ""]))
    task = "Ravon2CleanupAsSystem"
    schtasks = lambda *args: machine.checked(machine.system("schtasks.exe"), *args)
    schtasks("/Create", "/F", "/TN", task, "/RU", "SYSTEM", "/RL", "HIGHEST", "/SC", "ONCE",
             "/ST", "23:59", "/TR", f'{machine.system("cmd.exe")} /d /c "{SYSTEM_RUN}\\run.cmd"')
    try:
        schtasks("/Run", "/TN", task)
        deadline = time.monotonic() + CLEANUP_TIMEOUT + 120
        while not (folder / "done.txt").exists():
            if time.monotonic() > deadline:
                raise Failure("the scheduled task did not end: " +
                              schtasks("/Query", "/TN", task, "/V", "/FO", "LIST"))
            time.sleep(1)
    finally:
        schtasks("/Delete", "/F", "/TN", task)
    read = lambda name: (folder / name).read_text(errors="replace").replace("\r\n", "\n")
    print(f"ran as {read('whoami.txt').strip()}; the cleanup exited with "
          f"{read('cleanup.status').strip()}; the detection script printed {read('detect.out')!r}")
    check(read("whoami.txt").strip().lower() == "nt authority\\system", "not the system account")
    check(read("cleanup.status").strip() == "0" and read("cleanup.out") == WITH_INSTALLER
          and read("cleanup.err") == "",
          f"the cleanup: {read('cleanup.out')!r} {read('cleanup.err')!r}")
    check_installer_calls(machine)
    check_product_removed(machine)
    install.check_cleaned(machine)
    check(read("detect.out") == "cleaned\n" and read("detect.err") == "",
          f"the detection script: {read('detect.out')!r} {read('detect.err')!r}")


CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_")}
# Cases that can only hold on Wine, with the reason, skipped on Windows.
WINE_ONLY = {}
# Cases that can only run on Windows, with the reason, skipped on Wine (and
# not listed for CTest, which runs Wine alone).
WINDOWS_ONLY = {"system_account": "Wine runs no scheduled task as the system account, and "
                                  "has no Windows PowerShell 5.1"}


@contextlib.contextmanager
def logged(tier, machine, mode, name):
    """The steps inside log to a new folder for `name`, removed when they
    succeed, kept and named when they fail."""
    machine.logs = tier.logs / mode / name
    shutil.rmtree(machine.logs, ignore_errors=True)
    machine.logs.mkdir(parents=True)
    machine.msiexec_runs = 0
    try:
        yield
    except BaseException:
        print(f"{name}: its logs are kept in {machine.logs}")
        raise
    shutil.rmtree(machine.logs)


def run_case(tier, name):
    if name in WINDOWS_ONLY:
        print(f"case {name}: skipped on Wine: {WINDOWS_ONLY[name]}")
        return False
    machine = Prefix(tier)
    try:
        # Named after the prefix too: another driver may run the same case
        # beside it on the same build (the signing check does).
        with logged(tier, machine, "case", f"{name}-{machine.path.name}"):
            CASES[name](tier, machine)
        return True
    finally:
        machine.close()


# ------------------------------------------------------ a kept machine

# Files and folders the cases seed, or that the programs they start write.
SEEDED_FILES = [
    "C:\\Program Files\\Tarnholt", "C:\\ProgramData\\Tarnholt",
    "C:\\Shared Data & More", "C:\\Downloads", "C:\\installer-calls.log",
    "C:\\planted.log", "C:\\mutex-holder.log", SYSTEM_RUN,
]
# Folders that installing the sample MSI may create (Windows Installer's
# cache): removed when they were not there before the first case and are
# empty again.
FOLDERS_ABOVE = ["C:\\windows\\Installer"]
# What a PowerShell that a case starts keeps for itself in a user's
# profile (its startup and module caches): removed, with all it holds,
# where it was not there before the first case.
POWERSHELL_CACHE = "users/*/AppData/Local/Microsoft/PowerShell"


class Restorer:
    """Makes a kept machine fresh between cases: removes the sample MSI if it
    is still installed, the registry trees the cases seed (every cleanup row
    and the keys kept beside them, links as links), the keys above them that
    the cases created, and the seeded files; then checks that none of it is
    left. The keys above are judged against the machine as it was before the
    first case."""

    def __init__(self, tier, machine):
        self.tier, self.machine = tier, machine
        rows = ["HKLM\\" + r for r in tier.tables.rows]
        below = lambda key, above: key.lower().startswith(above.lower() + "\\")
        kept = Installation(tier).kept
        self.trees = rows + ["HKLM\\SOFTWARE\\Tarnholt"] + [
            k for k in kept if not any(below(r, k) for r in rows)]
        above = set()
        for tree in self.trees:
            parts = tree.split("\\")
            above.update("\\".join(parts[:n]) for n in range(3, len(parts)))
        above -= set(self.trees)
        # Deepest first, so that a key emptied by the one below goes too.
        self.above = sorted(above, key=lambda k: -k.count("\\"))
        self.remove()
        self.baseline = machine.present(self.above)
        self.folders = {f: machine.drive_c(f).exists() for f in FOLDERS_ABOVE}
        self.caches = self.powershell_caches()

    def powershell_caches(self):
        return set(self.machine.c_drive.glob(POWERSHELL_CACHE))

    def remove(self, prune=False):
        m = self.machine
        if m.product_state() != -1:
            msiexec(m, "/x", self.tier.tables.product, "/q", expect=(0, 3010))
        m.regtool([f"delete\t{k}" for k in self.trees])
        for place in SEEDED_FILES:
            path = m.drive_c(place)
            if path.is_dir():
                shutil.rmtree(path)
            elif path.exists():
                path.unlink()
        if prune:
            # What the cases created above those, judged by the baseline.
            m.regtool([f"prune\t{k}" for k in self.above if not self.baseline[k]])
            for folder, there in self.folders.items():
                path = m.drive_c(folder)
                if not there and path.is_dir() and not any(path.iterdir()):
                    path.rmdir()
            for cache in self.powershell_caches() - self.caches:
                shutil.rmtree(cache)

    def restore(self):
        self.remove(prune=True)
        m = self.machine
        left = [k for k, here in m.present(self.trees).items() if here]
        left += [k for k, here in m.present(self.above).items() if here != self.baseline[k]]
        left += [p for p in SEEDED_FILES if m.drive_c(p).exists()]
        left += [f for f, there in self.folders.items() if m.drive_c(f).exists() != there]
        left += [str(c) for c in self.powershell_caches() - self.caches]
        if m.product_state() != -1:
            left.append("the sample MSI")
        check(not left, "restoring left: " + ", ".join(left))


def run_kept(tier, machine, names):
    """Runs the cases one after another on one machine, restored between
    them. Returns the number that failed."""
    on_windows = isinstance(machine, ThisWindows)
    mode, elsewhere = ("windows", WINE_ONLY) if on_windows else ("kept", WINDOWS_ONLY)
    with logged(tier, machine, mode, "first-restore"):
        restorer = Restorer(tier, machine)
    passed = failed = skipped = 0
    for name in names:
        if name in elsewhere:
            print(f"case {name}: skipped on {'Windows' if on_windows else 'Wine'}: "
                  f"{elsewhere[name]}")
            skipped += 1
            continue
        started = time.monotonic()
        try:
            # The restore before a case logs with it, and fails it.
            with logged(tier, machine, mode, name):
                restorer.restore()
                CASES[name](tier, machine)
            print(f"case {name}: passed ({time.monotonic() - started:.1f} s)")
            passed += 1
        except Exception as failure:  # any error is this case's, not the run's
            detail = "" if isinstance(failure, Failure) else "\n" + traceback.format_exc()
            print(f"case {name}: FAILED: {failure}{detail}")
            failed += 1
        sys.stdout.flush()
    with logged(tier, machine, mode, "last-restore"):
        restorer.restore()
    print(f"kept machine: {passed} passed, {failed} failed, {skipped} skipped")
    return failed


def snapshot(prefix_path):
    """A stopped prefix's registry keys with their values, and its files,
    as sets of lines."""
    registry = set()
    for hive in ("system.reg", "user.reg"):
        key = None
        for line in (prefix_path / hive).read_text(encoding="utf-8", errors="replace").splitlines():
            if line.startswith("["):
                key = hive + ":" + line[:line.rindex("]") + 1].lower()
                registry.add(key)
            elif key and line and not line.startswith(("#", ";")):
                registry.add(key + " " + line)
    files = set()
    drive_c = prefix_path / "drive_c"
    for folder, dirs, names in os.walk(drive_c):
        for name in dirs + names:
            files.add(str(Path(folder, name).relative_to(drive_c)))
    return registry, files


def compare_with_fresh(tier, prefix):
    """After the last case and its restore, the kept prefix must hold what a
    prefix that ran no case holds: a copy of the template, started and
    stopped the same way. What Wine itself rewrites at each start (device
    dates, for one) differs between the template and that copy too, and is
    left out."""
    prefix.stop()
    fresh = Prefix(tier)
    try:
        fresh.stop()
        now, idle, template = snapshot(prefix.path), snapshot(fresh.path), snapshot(tier.template)
    finally:
        fresh.close()
    place = lambda entry: entry[:entry.index("]") + 1] if "]" in entry else entry
    for n, what in enumerate(("registry", "files")):
        volatile = {place(e) for e in idle[n] ^ template[n]}
        added = sorted(e for e in now[n] - idle[n] if place(e) not in volatile)
        lost = sorted(e for e in idle[n] - now[n] if place(e) not in volatile)
        print(f"restore check, {what}: {len(now[n])} entries against {len(idle[n])} in a "
              f"prefix that ran no case ({len(volatile)} places Wine rewrites at each start "
              f"left out): {len(added)} added, {len(lost)} lost")
        for entry in added[:20]:
            print("  added:", entry)
        for entry in lost[:20]:
            print("  lost: ", entry)
        check(not added and not lost, f"the kept prefix's {what} differ from a fresh one")


def fleet_answer(tier, machine):
    """What the detection script tells a fleet about this machine, in the
    build's Windows PowerShell."""
    _, _, shell, why = machine.powershells()[0]
    if why:
        return f"not run: {why}"
    status, out, err = machine.run_powershell(shell, "-NoProfile", "-ExecutionPolicy", "Bypass",
                                              "-File", tier.build / "bin" / "detect-cleaned.ps1",
                                              env=machine.env)
    check(status == 0 and err == "", f"detection script: {status} {out!r} {err!r}")
    return repr(out.strip()) if out else "nothing (not clean)"


def demo(tier):
    """Boots a throwaway prefix, installs the sample product and shows the
    cleanup at work."""
    tier.boot_template()
    machine = Prefix(tier)
    try:
        install = Installation(tier)
        install.seed(machine)

        def report(title):
            state = machine.present(install.removed + install.kept)
            payload = machine.drive_c("C:\\Program Files\\Tarnholt\\Ravon2\\ravon2.txt")
            print(f"\n== {title} ==")
            print(f"product keys present:   {sum(state[k] for k in install.removed)} of {len(install.removed)}")
            print(f"other keys present:     {sum(state[k] for k in install.kept)} of {len(install.kept)}")
            print(f"MSI product state:      {machine.product_state()} (5 installed, -1 unknown)")
            print(f"MSI-installed file:     {'present' if payload.exists() else 'gone'}")
            print(f"installer starts so far: {len(machine.installer_calls())}")
            print(f"detection script:       {fleet_answer(tier, machine)}")
            shown = [k for k in install.removed if tier.tables.row(30) in k]
            for k in shown + install.kept[:5]:
                print(f"  {'present' if state[k] else 'gone   '}  {k}")

        report("before")
        print(f"\n== running {tier.exe.name} under Wine ==")
        status, out, err = machine.run_cleanup()
        sys.stdout.write(out + err)
        print(f"exit status: {status}")
        for call in machine.installer_calls():
            print("deployment installer started as:", call["line"])
        report("after")
        install.check_cleaned(machine)
        check_product_removed(machine)
    finally:
        machine.close()
        tier.discard()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build")
    parser.add_argument("--exe", help="the executable to test (default: the build's)")
    parser.add_argument("--this-machine-is-disposable", action="store_true", dest="disposable",
                        help="with 'windows': agree that the cases may change this machine")
    parser.add_argument("action", choices=["template", "case", "kept", "windows", "discard",
                                           "demo", "list"])
    parser.add_argument("name", nargs="*")
    args = parser.parse_args()
    # A Windows console or pipe would take the ANSI code page, strictly.
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(encoding="utf-8", errors="backslashreplace")
    if args.action == "list":
        print(";".join(n for n in CASES if n not in WINDOWS_ONLY))
        return 0
    if not args.build:
        parser.error("--build is needed")
    if args.action == "windows" and not args.disposable:
        print("refused: the windows action installs and removes a sample Windows Installer "
              "product and deletes the product's keys under HKEY_LOCAL_MACHINE on this "
              "machine. Run it only on a machine you can throw away, and say so with "
              "--this-machine-is-disposable.", file=sys.stderr)
        return 2
    names = args.name or list(CASES)
    unknown = [n for n in names if n not in CASES]
    if unknown:
        parser.error(f"unknown case {', '.join(unknown)}; cases: {', '.join(CASES)}")
    if args.action != "windows":
        fixed_addresses()
    # The demo keeps to its own folder: a test run may be using the other.
    tier = Tier(args.build, "wine-demo" if args.action == "demo" else "wine-tier")
    if args.exe:
        tier.exe = Path(args.exe).resolve()
    try:
        if args.action == "template":
            tier.boot_template()
        elif args.action == "discard":
            tier.discard()
        elif args.action == "demo":
            demo(tier)
        elif args.action == "case":
            check(len(names) == 1, "case takes one name")
            if run_case(tier, names[0]):
                print(f"wine case {names[0]}: passed")
        elif args.action == "kept":
            prefix = Prefix(tier)
            try:
                failed = run_kept(tier, prefix, names)
                compare_with_fresh(tier, prefix)
            finally:
                prefix.close()
            return 1 if failed else 0
        else:
            machine = ThisWindows(tier)
            if windows_on_arm():
                print(f"Windows on Arm64: the exe and the helpers run as x64; Python as {platform.machine()}")
            status, out, err = machine.run(tier.helpers / "print-tables.exe")
            check(status == 0, f"print-tables failed: {err}")
            tier.set_tables(out)
            check((tier.work / "msi" / "sample.msi").exists(),
                  "no sample MSI: build it on Linux with the template action")
            try:
                return 1 if run_kept(tier, machine, names) else 0
            finally:
                shutil.rmtree(machine.work, ignore_errors=True)
    except Failure as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
