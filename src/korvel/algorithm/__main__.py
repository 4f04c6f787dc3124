"""Run a module's demonstration: ``python -m korvel.algorithm <name> [--fast]``."""

import argparse
import os
import sys

from korvel.algorithm._demos import DEMOS


def main(argv: list[str] | None = None) -> int:
    listing = "\n".join(
        f"  {name:<12} {(DEMOS[name].__doc__ or '').strip().splitlines()[0]}"
        for name in sorted(DEMOS)
    )
    parser = argparse.ArgumentParser(
        prog="python -m korvel.algorithm",
        description="Run the demonstration of a korvel.algorithm module.",
        epilog=f"available demonstrations:\n{listing}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("demo", choices=sorted(DEMOS), metavar="demo", help="name of the demo")
    parser.add_argument("--fast", action="store_true", help="skip pauses and plot windows")
    args = parser.parse_args(argv)
    try:
        DEMOS[args.demo](fast=args.fast)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`... | head`): stop quietly. Python flushes
        # stdout again at exit, so point it at devnull first.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
