"""The C++ core driven over tests/cpp/drive.cpp's line protocol.

The driver is built by `make test`, which names it in KORVEL_DRIVE.
"""

import math
import os
import struct
import subprocess

from scipy.signal import cont2discrete

BUILD = os.environ.get("KORVEL_CPP_BUILD")
DRIVE = os.path.join(BUILD, "korvel_drive") if BUILD else None


class CoreError(Exception):
    pass


def words(*items):
    out = []
    for x in items:
        if x is None:
            out.append("none")
        elif isinstance(x, bool):
            out.append(str(int(x)))
        elif isinstance(x, int):
            out.append(str(x))
        elif isinstance(x, float):
            out.append(x.hex())
        elif isinstance(x, str):
            out.append(x)
        elif isinstance(x, dict):
            out.append(str(len(x)))
            for k, v in x.items():
                out += words(k, float(v))
        else:  # a sequence of numbers
            out.append(str(len(x)))
            out += [float(v).hex() for v in x]
    return out


def number(tok):
    if tok in ("nan", "-nan"):
        return math.nan
    if tok in ("inf", "-inf"):
        return float(tok)
    return float.fromhex(tok) if tok.startswith(("0x", "-0x")) else int(tok)


class Core:
    """The driver process: one command, one answer."""

    def __init__(self):
        self.p = subprocess.Popen(
            [DRIVE], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1
        )
        self.n = 0

    def __call__(self, *items):
        self.p.stdin.write(" ".join(words(*items)) + "\n")
        self.p.stdin.flush()
        while True:
            line = self.p.stdout.readline().rstrip("\n")
            head, _, rest = line.partition(" ")
            if head == "need":
                self.p.stdin.write(self.discretise(rest.split()) + "\n")
                self.p.stdin.flush()
                continue
            if head == "err":
                raise CoreError(rest)
            assert head == "ok", line
            return rest

    @staticmethod
    def discretise(toks):
        ts, rest = number(toks[0]), toks[1:]
        n = int(rest[0])
        num, rest = [number(t) for t in rest[1 : 1 + n]], rest[1 + n :]
        den = [number(t) for t in rest[1 : 1 + int(rest[0])]]
        try:
            numd, dend, _ = cont2discrete((num, den), dt=ts, method="zoh")
        except Exception as e:  # noqa: BLE001 - the core fails as SciPy did
            return f"err {e}"
        return " ".join(words(list(numd[0]), list(dend)))

    def new(self, kind, *args):
        self.n += 1
        name = f"b{self.n}"
        self("new", name, kind, *args)
        return name

    def close(self):
        self.p.stdin.close()
        self.p.wait(timeout=30)


def same(a, b):
    """Equal to the bit, NaN to NaN; sequences element by element."""
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    if isinstance(a, float) or isinstance(b, float):
        return struct.pack("<d", float(a)) == struct.pack("<d", float(b))
    return a == b
