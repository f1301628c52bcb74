"""Runs one acceptance scenario on the real binary; exit status 1 when any check failed.

Usage: python3 -m lumavane_acceptance SCENARIO --wm none|openbox --binary B --resources R
       --media M --out DIR [--steps N,N...]
Run it inside `dbus-run-session -- tests/support/with-xvfb` (tests/Acceptance/run-acceptance does).
"""

import argparse
import os
import sys
from pathlib import Path

from . import accessible, scenarios
from .run import Run


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(scenarios.SCENARIOS))
    parser.add_argument("--wm", choices=("none", "openbox"), default="none")
    parser.add_argument("--binary", required=True)
    parser.add_argument("--resources", required=True)
    parser.add_argument("--media", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--steps", default="", help="only these step numbers (for working on the suite)")
    args = parser.parse_args()

    absolute = {k: str(Path(getattr(args, k)).resolve()) for k in ("binary", "resources", "media", "out")}
    run = Run(f"{args.scenario}-{args.wm}", absolute["out"], args.wm, absolute["binary"], absolute["resources"],
              absolute["media"])
    run.only_steps = {int(s) for s in args.steps.split(",") if s}
    print(f"{run.name}: screen {run.desktop.width}x{run.desktop.height}, output {run.out}", flush=True)
    try:
        accessible.start_bus()
        print(f"display {os.environ.get('DISPLAY')}, accessibility bus {os.environ.get('AT_SPI_BUS_ADDRESS')}", flush=True)
        run.desktop.start_window_manager(run.out / "openbox.log")
        scenarios.SCENARIOS[args.scenario](run)
    finally:
        run.desktop.stop_window_manager()
        run.write_report()
    return 1 if run.failures() else 0


if __name__ == "__main__":
    sys.exit(main())
