"""Runs every bench/bench_*.py and writes their tables to docs/benchmarks.md.

Each benchmark script prints a markdown section (a "## " heading and a table of
ratios measured within its own run) to stdout.
"""

import platform
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
DOC = HERE.parent / "docs" / "benchmarks.md"


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{cpu}, {platform.system()} {platform.release()}, Python {platform.python_version()}"


def main() -> int:
    only = set(sys.argv[1:])
    sections = []
    for script in sorted(HERE.glob("bench_*.py")):
        if only and script.stem not in only:
            continue
        print(f"running {script.name} ...", file=sys.stderr, flush=True)
        done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True)
        if done.returncode != 0:
            sys.stderr.write(done.stderr)
            return done.returncode
        sections.append(done.stdout.strip())
        print(done.stdout)
    if only:
        return 0  # a partial run does not replace the full table
    DOC.write_text(
        "# Benchmarks\n\n"
        "Produced by `make bench`. Every ratio compares timings taken in the same run on\n"
        f"the same machine ({machine()}); absolute times vary between machines, ratios\n"
        "much less.\n\n" + "\n\n".join(sections) + "\n"
    )
    print(f"wrote {DOC}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
