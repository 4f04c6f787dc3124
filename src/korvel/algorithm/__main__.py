"""Command line that runs the demonstration of a module.

Usage::

    python -m korvel.algorithm <demo> [--fast]

``demo`` names the module whose demonstration runs: heartbeat,
phaseshaper, plantmodels or slewguard (``--help`` lists them with what
they show). ``--fast`` skips the pauses and plot windows, so a
demonstration finishes at once. The exit status is 0 on success, 2 for a
wrong command line and 1 when the output pipe closes early (``... | head``).
"""

import argparse
import os
import sys

from korvel.algorithm._demos import DEMOS


def main(argv: list[str] | None = None) -> int:
    """Run the demonstration named on the command line.

    Parameters
    ----------
    argv : list of str or None, default None
        The arguments after the program name: the demonstration's name and
        optionally ``--fast``. None: ``sys.argv[1:]``.

    Returns
    -------
    int
        The exit status: 0 when the demonstration ran, 1 when standard
        output was closed by its reader before the end.

    Raises
    ------
    SystemExit
        The arguments are wrong (status 2, with argparse's message on
        standard error) or ``--help`` was asked for (status 0).

    Examples
    --------
    >>> from korvel.algorithm.__main__ import main
    >>> main(["heartbeat", "--fast"])
    1
    2
    3
    0
    1
    2
    3
    0
    1
    2
    0
    """
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
