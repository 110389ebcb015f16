#!/usr/bin/env python3
"""End-to-end tests of the real cleanup executable under Wine.

Each case gets its own copy of a Wine prefix booted once per run, seeds it
with a sample installation of the product (registry trees under the cleanup
rows, keys that are not the product's and must survive, a link inside a tree,
a stand-in deployment installer that records how it was started, and a real
MSI installed through Wine's msiexec), runs the executable and checks what is
left.

    wine_tier.py --build DIR --source DIR template   boot the shared prefix
    wine_tier.py --build DIR --source DIR case NAME  run one case
    wine_tier.py --build DIR --source DIR discard    remove the shared prefix
    wine_tier.py --build DIR --source DIR demo       show a run, before/after
    wine_tier.py list                                the names of the cases

Rows of the cleanup table are named by number from 1, as the program's own
table lists them (row(30) is the 30th row). The tables come from the
program's own source, through the print-tables helper built from it.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

WAIT_MESSAGE = "Please wait while product cleanup completes...\n"
# What the stand-in installer writes to the output it shares with the exe:
# after the wait message, which must not wait in the exe's buffer.
INSTALLER_LINE = "stand-in installer: uninstalling\n"
WITH_INSTALLER = WAIT_MESSAGE + 2 * INSTALLER_LINE
# Rows that Windows Installer writes when it installs the sample MSI.
MSI_ROWS = {14, 15, 16, 17, 18, 38, 57}
# A row that is itself a link, and the leaf it points at.
LINK_ROW = 50
LINKED_LEAF_VALUE = ("HKLM\\SOFTWARE\\Tarnholt\\LinkedLeaf", "Keep", "also")
NEIGHBOUR_VALUE = ("HKLM\\SOFTWARE\\Tarnholt\\Neighbour\\Child", "Keep", "yes")


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
  </Product>
</Wix>
"""


class Tier:
    def __init__(self, build, source, work="wine-tier"):
        self.build = Path(build).resolve()
        self.source = Path(source).resolve()
        self.work = self.build / work
        self.template = self.work / "template"
        self.exe = self.build / "bin" / "ravon2-cleanup.exe"
        self.helpers = self.build / "test-helpers"
        self.tables_file = self.work / "tables.txt"
        self._tables = None

    @property
    def tables(self):
        if self._tables is None:
            self._tables = Tables(self.tables_file.read_text())
        return self._tables

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
    env = dict(os.environ)
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    return env


class Prefix:
    """A throwaway copy of the template prefix."""

    def __init__(self, tier):
        self.tier = tier
        self.path = Path(tempfile.mkdtemp(prefix="case-", dir=tier.work))
        shutil.rmtree(self.path)
        subprocess.run(["cp", "-a", str(tier.template), str(self.path)], check=True)
        self.env = wine_env(self.path)

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env,
                       stderr=subprocess.DEVNULL)
        shutil.rmtree(self.path, ignore_errors=True)

    def drive_c(self, windows_path):
        check(windows_path[:3].upper() == "C:\\", windows_path)
        return self.path / "drive_c" / windows_path[3:].replace("\\", "/")

    def wine(self, *args, timeout=300, cwd=None):
        result = subprocess.run(["wine", *map(str, args)], env=self.env, cwd=cwd,
                                capture_output=True, timeout=timeout)
        decode = lambda b: b.decode("utf-8", "replace").replace("\r\n", "\n")
        return result.returncode, decode(result.stdout), decode(result.stderr)

    def start(self, *args):
        """Starts a program under Wine without waiting for it."""
        return subprocess.Popen(["wine", *map(str, args)], env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def regtool(self, lines):
        script = self.path / "regtool-commands.txt"
        script.write_text("\n".join(lines) + "\n", encoding="utf-8")
        status, out, err = self.wine(self.tier.helpers / "regtool.exe", script)
        check(status == 0, f"regtool failed: {err}")
        return out.splitlines()

    def present(self, keys):
        answers = self.regtool([f"query\t{k}" for k in keys])
        return {k: a == "present" for k, a in zip(keys, answers)}

    def product_state(self):
        return int(self.regtool([f"product\t{self.tier.tables.product}"])[0])

    def run_cleanup(self, *args, launcher_settings=None, exe=None, cwd=None):
        exe = exe or self.tier.exe
        if launcher_settings is None:
            return self.wine(exe, *args, cwd=cwd)
        return self.wine(self.tier.helpers / "launcher.exe", *launcher_settings,
                         "--", exe, *args, cwd=cwd)

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

    def seed(self, prefix, installer=True, msi=True, program_data="C:\\ProgramData"):
        if msi:
            install_msi(prefix)
        if installer:
            target = prefix.drive_c("C:\\Program Files\\Tarnholt\\Quorvel\\V1\\Installer.exe")
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(prefix.tier.helpers / "stand-in-installer.exe", target)
        for bundle in prefix.tier.tables.bundles:
            manifest = prefix.drive_c(program_data + f"\\Tarnholt\\Brevat\\metadata\\{bundle}\\bundleManifest.xml")
            manifest.parent.mkdir(parents=True, exist_ok=True)
            manifest.write_text("<bundleManifest/>\n")
        prefix.regtool(self.commands + ([] if msi else self.msi_commands))
        state = prefix.present(self.removed + self.kept)
        check(all(state.values()), "seeding left keys out: " +
              ", ".join(k for k, v in state.items() if not v))

    def check_cleaned(self, prefix):
        state = prefix.present(self.removed + self.kept)
        left = [k for k in self.removed if state[k]]
        lost = [k for k in self.kept if not state[k]]
        check(not left, "keys left behind: " + ", ".join(left))
        check(not lost, "keys that are not the product's were deleted: " + ", ".join(lost))
        values = prefix.regtool([f"get\t{key}\t{name}" for key, name, _ in self.values])
        check(values == [data for _, _, data in self.values],
              f"the link targets' values changed: {values}")


def install_msi(prefix):
    msi_path = prefix.tier.work / "msi" / "sample.msi"
    status, _, err = prefix.wine("msiexec", "/i", "Z:" + str(msi_path).replace("/", "\\"), "/q")
    check(status == 0, f"installing the sample MSI failed ({status}): {err}")
    check(prefix.product_state() == 5, "the sample MSI is not installed")


def expected_args(bundle, program_files="C:\\Program Files", program_data="C:\\ProgramData"):
    return [program_files + "\\Tarnholt\\Quorvel\\V1\\Installer.exe",
            "-i", "uninstall", "--silent", "--trigger_point", "system", "-m",
            program_data + f"\\Tarnholt\\Brevat\\metadata\\{bundle}\\bundleManifest.xml"]


def check_installer_calls(prefix, program_data="C:\\ProgramData"):
    calls = prefix.installer_calls()
    check(len(calls) == 2, f"expected 2 installer calls, got {len(calls)}")
    for call, bundle in zip(calls, prefix.tier.tables.bundles):
        want = expected_args(bundle, program_data=program_data)
        check(call["args"] == want, f"installer arguments {call['args']} != {want}")
        check(call["state"].get("manifest") == "1", "the manifest path did not name the manifest")
        check(call["state"].get("keys") == "1", "the registry stage ran before the installer")
        check(call["cwd"].lower() == call["system"].lower(),
              f"the installer began in {call['cwd']}, not in the system folder {call['system']}")
    return calls


def check_product_removed(prefix):
    check(prefix.product_state() == -1, "Windows Installer still knows the product")
    payload = prefix.drive_c("C:\\Program Files\\Tarnholt\\Ravon2\\ravon2.txt")
    check(not payload.exists(), "the product's installed file is still there")


# ---------------------------------------------------------------- cases

def case_full_run(tier, prefix):
    install = Installation(tier)
    install.seed(prefix)
    started = time.monotonic()
    status, out, err = prefix.run_cleanup("/?", "--force", "stray argument")
    print(f"the cleanup took {time.monotonic() - started:.1f} s")
    check(status == 0, f"exit status {status}")
    check(out == WITH_INSTALLER, f"unexpected output {out!r} (stderr {err!r})")
    calls = check_installer_calls(prefix)
    for call in calls:
        check(call["state"].get("product") == "5",
              "the deployment installer ran after the MSI was removed")
    print("installer saw:", calls[0]["line"])
    check_product_removed(prefix)
    install.check_cleaned(prefix)

    status, out, err = prefix.run_cleanup()
    check(status == 0, f"second run: exit status {status}")
    check(out == WITH_INSTALLER, f"second run: unexpected output {out!r}")
    check(len(prefix.installer_calls()) == 4, "second run: installer not started twice more")
    install.check_cleaned(prefix)


def case_programdata_with_space_and_ampersand(tier, prefix):
    program_data = "C:\\Shared Data & More"
    install = Installation(tier)
    install.seed(prefix, msi=False, program_data=program_data)
    status, out, err = prefix.run_cleanup(launcher_settings=[f"ProgramData={program_data}"])
    check(status == 0, f"exit status {status}")
    check(out == WITH_INSTALLER and err == "", f"unexpected output {out!r} {err!r}")
    check_installer_calls(prefix, program_data=program_data)
    install.check_cleaned(prefix)


def case_programdata_unset_or_unusable(tier, prefix):
    """ProgramData removed, holding a percent sign the command interpreter
    would expand, or too long for the command line: the bundles are skipped,
    the run ends with 0 and the rest of the cleanup runs. (Wine's strcat_s
    returns an error where Windows' ends the process; the host tier checks
    that the length is measured before strcat_s is called.)"""
    install = Installation(tier)
    install.seed(prefix)
    for setting in ["-ProgramData", "ProgramData=C:\\Data%WINDIR%",
                    "ProgramData=C:\\" + "d" * 1100]:
        status, out, err = prefix.run_cleanup(launcher_settings=[setting])
        check(status == 0, f"exit status {status} with {setting[:24]}")
        check(out == WAIT_MESSAGE, f"unexpected output {out!r} {err!r}")
        check(prefix.installer_calls() == [], f"the installer was started with {setting[:24]}")
    check_product_removed(prefix)
    install.check_cleaned(prefix)


def case_installer_absent(tier, prefix):
    install = Installation(tier)
    install.seed(prefix, installer=False)
    status, out, err = prefix.run_cleanup()
    check(status == 0, f"exit status {status}")
    check(out.startswith(WAIT_MESSAGE), f"unexpected output {out!r}")
    check_product_removed(prefix)
    install.check_cleaned(prefix)


def case_nothing_installed(tier, prefix):
    before = prefix.regtool([f"query\tHKLM\\{r}" for r in tier.tables.rows])
    check(before == ["absent"] * len(tier.tables.rows), "a new prefix already holds product keys")
    status, out, err = prefix.run_cleanup()
    check(status == 0, f"exit status {status}")
    check(out.startswith(WAIT_MESSAGE) and "Error opening key" not in out,
          f"unexpected output {out!r}")


# What the command interpreter would find before the system folder's
# programs if they were asked for by name.
PLANTED = ["msiexec.com", "msiexec.exe", "msiexec.bat", "msiexec.cmd", "cmd.exe"]


def plant(prefix, folder, names=PLANTED):
    where = prefix.drive_c(folder)
    where.mkdir(parents=True, exist_ok=True)
    for name in names:
        if name.endswith((".bat", ".cmd")):
            (where / name).write_text("@echo ran\t%~f0>>C:\\planted.log\r\n")
        else:
            shutil.copy(prefix.tier.helpers / "planted-program.exe", where / name)
    return where


def case_planted_programs(tier, prefix):
    """The exe started from a download folder, with another current folder,
    both holding programs named msiexec and cmd, with ComSpec set, unset and
    naming a missing file (where Windows' C runtime would look for cmd.exe
    by name, in the current folder first); and from a clean folder with a
    folder holding an msiexec.exe first on PATH. None of them may run:
    Windows Installer and the command interpreter are started by their full
    paths, and the MSI is removed each time."""
    install = Installation(tier)
    install.seed(prefix)
    exe = plant(prefix, "C:\\Downloads\\tool") / tier.exe.name
    shutil.copy(tier.exe, exe)
    here = plant(prefix, "C:\\Downloads\\here")
    plant(prefix, "C:\\Downloads\\onpath", ["msiexec.exe"])
    clean = prefix.drive_c("C:\\Downloads\\clean")
    clean.mkdir()
    _, path, _ = prefix.wine("cmd", "/c", "echo %PATH%")
    log = prefix.drive_c("C:\\planted.log")
    runs = [("ComSpec set", [], here), ("ComSpec unset", ["-ComSpec"], here),
            ("ComSpec names a missing file", ["ComSpec=C:\\Missing\\cmd.exe"], exe.parent),
            ("msiexec.exe first on PATH",
             ["PATH=C:\\Downloads\\onpath;" + path.strip()], clean)]
    for number, (label, settings, cwd) in enumerate(runs):
        if number > 0:
            install_msi(prefix)
        status, out, err = prefix.run_cleanup(launcher_settings=settings, exe=exe, cwd=cwd)
        ran = log.read_text(encoding="utf-8-sig") if log.exists() else ""
        log.unlink(missing_ok=True)
        print(f"{label}: exit {status}, planted programs run: {ran.count(chr(10))}")
        check(ran == "", f"{label}: a planted program ran: {ran!r}")
        check(status == 0 and out == WITH_INSTALLER, f"{label}: {status} {out!r} {err!r}")
        check(len(prefix.installer_calls()) == 2 * (number + 1), f"{label}: installer calls")
        check_product_removed(prefix)


def case_installer_busy(tier, prefix):
    """Another installation holds Windows Installer's mutex for a few
    seconds while the cleanup runs: msiexec must wait for it. (Wine's
    msiexec does not check the mutex, so one started early would remove the
    product while it is held.)"""
    install = Installation(tier)
    install.seed(prefix)
    hold = 8
    holder = prefix.start(tier.helpers / "mutex-holder.exe", hold)
    try:
        check(holder.stdout.readline().strip() == b"holding", "the holder did not take the mutex")
        started = time.monotonic()
        status, out, err = prefix.run_cleanup()
        took = time.monotonic() - started
        check(holder.wait(timeout=60) == 0, "the holder failed")
    finally:
        if holder.poll() is None:
            holder.kill()
    log = prefix.drive_c("C:\\mutex-holder.log").read_text()
    print(f"held {hold} s; the cleanup took {took:.1f} s; {log.strip()}")
    check(log.strip() == "state at release: 5",
          "the product was removed while Windows Installer was busy")
    check(status == 0 and out == WITH_INSTALLER, f"{status} {out!r} {err!r}")
    check_installer_calls(prefix)
    check_product_removed(prefix)
    install.check_cleaned(prefix)


def stress(prefix, *mode):
    status, out, err = prefix.wine(prefix.tier.helpers / "registry-stress.exe", *mode)
    print(out, end="")
    check(status == 0 and "stress: passed" in out, f"stress {' '.join(mode)} failed: {err}")


def case_stress_wide(tier, prefix):
    stress(prefix, "wide", "20000")


def case_stress_deep(tier, prefix):
    stress(prefix, "deep")


def case_stress_long_names(tier, prefix):
    stress(prefix, "long")


def case_stress_racing_writer(tier, prefix):
    stress(prefix, "racing")


def case_stress_trailing_backslash(tier, prefix):
    stress(prefix, "trailing")


CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_")}


def run_case(tier, name):
    prefix = Prefix(tier)
    try:
        CASES[name](tier, prefix)
    finally:
        prefix.close()


def demo(tier):
    """Boots a throwaway prefix, installs the sample product and shows the
    cleanup at work."""
    tier.boot_template()
    prefix = Prefix(tier)
    try:
        install = Installation(tier)
        install.seed(prefix)

        def report(title):
            state = prefix.present(install.removed + install.kept)
            payload = prefix.drive_c("C:\\Program Files\\Tarnholt\\Ravon2\\ravon2.txt")
            print(f"\n== {title} ==")
            print(f"product keys present:   {sum(state[k] for k in install.removed)} of {len(install.removed)}")
            print(f"other keys present:     {sum(state[k] for k in install.kept)} of {len(install.kept)}")
            print(f"MSI product state:      {prefix.product_state()} (5 installed, -1 unknown)")
            print(f"MSI-installed file:     {'present' if payload.exists() else 'gone'}")
            print(f"installer starts so far: {len(prefix.installer_calls())}")
            shown = [k for k in install.removed if tier.tables.row(30) in k]
            for k in shown + install.kept[:5]:
                print(f"  {'present' if state[k] else 'gone   '}  {k}")

        report("before")
        print(f"\n== running {tier.exe.name} under Wine ==")
        status, out, err = prefix.run_cleanup()
        sys.stdout.write(out + err)
        print(f"exit status: {status}")
        for call in prefix.installer_calls():
            print("deployment installer started as:", call["line"])
        report("after")
    finally:
        prefix.close()
        tier.discard()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build")
    parser.add_argument("--source")
    parser.add_argument("--exe", help="the executable to test (default: the build's)")
    parser.add_argument("action", choices=["template", "case", "discard", "demo", "list"])
    parser.add_argument("name", nargs="?")
    args = parser.parse_args()
    if args.action == "list":
        print(";".join(CASES))
        return 0
    if not (args.build and args.source):
        parser.error("--build and --source are needed")
    # The demo keeps to its own folder: a test run may be using the other.
    tier = Tier(args.build, args.source, "wine-demo" if args.action == "demo" else "wine-tier")
    if args.exe:
        tier.exe = Path(args.exe).resolve()
    try:
        if args.action == "template":
            tier.boot_template()
        elif args.action == "discard":
            tier.discard()
        elif args.action == "demo":
            demo(tier)
        else:
            if args.name not in CASES:
                parser.error(f"unknown case {args.name}; cases: {', '.join(CASES)}")
            run_case(tier, args.name)
            print(f"wine case {args.name}: passed")
    except Failure as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
