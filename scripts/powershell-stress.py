#!/usr/bin/env python3
"""Runs the detection script with -Explain in the build's Windows
PowerShell (win-x64) N times on one fresh Wine prefix, as the Wine tier
starts it, and counts the runs that died. A hardening tool for the test
host, not a test: run it under load (docs/development.md).

    powershell-stress.py --build DIR [--runs N] [--unmended]

--unmended starts the host without what the Wine tier tells its .NET
runtime (POWERSHELL_RUNTIME in wine_tier.py), to show what that mends.
Exits 1 when a run died."""
import argparse
import collections
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "wine"))
import wine_tier  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=50)
    parser.add_argument("--unmended", action="store_true")
    args = parser.parse_args()
    wine_tier.fixed_addresses()
    settings = dict(wine_tier.POWERSHELL_RUNTIME)
    if args.unmended:
        wine_tier.POWERSHELL_RUNTIME.clear()
    tier = wine_tier.Tier(args.build, "wine-stress")
    tier.boot_template()
    machine = wine_tier.Prefix(tier)
    died, seconds = collections.Counter(), []
    try:
        _, _, shell, _ = machine.powershells()[0]
        script = tier.build / "bin" / "detect-cleaned.ps1"
        for run in range(1, args.runs + 1):
            started = time.monotonic()
            status, out, err = machine.run_powershell(
                shell, "-NoProfile", "-ExecutionPolicy", "Bypass", "-File", script, "-Explain",
                env=machine.env)
            seconds.append(time.monotonic() - started)
            # Nothing is installed on the prefix: the one answer is "cleaned".
            if (status, out, err) != (0, "cleaned\n", ""):
                how = f"status {status}: " + " | ".join(err.splitlines()[:3] or [repr(out)])
                died[how] += 1
                print(f"run {run}: died: {how}", flush=True)
    finally:
        machine.close()
        tier.discard()
    told = "nothing" if args.unmended else ", ".join(f"{k}={v}" for k, v in settings.items())
    print(f"powershell stress: {args.runs} runs, {sum(died.values())} died "
          f"(the runtime told {told}; median {statistics.median(seconds):.1f} s a run)")
    for how, count in died.most_common():
        print(f"  {count} x {how}")
    return 1 if died else 0


if __name__ == "__main__":
    sys.exit(main())
