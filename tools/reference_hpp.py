#!/usr/bin/env python3
"""Writes the reference process (src/korvel/algorithm/_reference.py) as a C++
header, so that the C++ examples and tests use the very process the Python
ones do.

    python tools/reference_hpp.py <_reference.py> <output header>
"""

import runpy
import sys
from pathlib import Path


def numbers(values):
    return "{" + ", ".join(repr(float(v)) for v in values) + "}"


def pair(entry, gain_keys):
    mode = entry.get("mode", "None")
    integrating = "true" if entry.get("IntegralMark", 0) else "false"

    def scaled(key):
        values = numbers(entry[key])
        return f"g({values})" if key in gain_keys else values

    if mode == "tf_s":
        delay = repr(float(entry.get("iodelay_s", 0)))
        return f"S::tf_s({scaled('num_s')}, {numbers(entry['den_s'])}, {delay}, {integrating})"
    if mode == "tf_z":
        delay = int(entry.get("iodelay_z", 0))
        return f"S::tf_z({scaled('num_z')}, {numbers(entry['den_z'])}, {delay}, {integrating})"
    if mode == "stp":
        return f"S::stp({scaled('stp')}, {integrating})"
    if mode == "stpxy":
        return f"S::stpxy({numbers(entry['x'])}, {scaled('y')}, {integrating})"
    return None


def main(source, target):
    ref = runpy.run_path(source)
    rows = []
    for cv, pairs in ref["PROCESS"].items():
        cells = [f'{{"{mv}", {p}}}' for mv, e in pairs.items() if (p := pair(e, ref["GAIN_KEYS"]))]
        rows.append(f'        {{"{cv}", {{{", ".join(cells)}}}}},')
    ini = ", ".join(f'{{"{k}", {float(v)!r}}}' for k, v in ref["INITIAL_VALUES"].items())
    points = ", ".join(f"{{{i}, {float(w)!r}, {float(g)!r}}}" for i, w, g in ref["LPV_POINTS"])
    text = f"""\
// The reference process, written from src/korvel/algorithm/_reference.py by
// tools/reference_hpp.py when the C++ programs are built: do not edit.
#pragma once

#include <korvel/mimo.hpp>

#include <vector>

namespace korvel::reference {{

// The model dictionary, every pair's gain scaled by `gain`.
inline ModelDict process(double gain = 1.0) {{
    const auto g = [gain](std::vector<double> v) {{
        for (double& x : v)
            x = gain * x;
        return v;
    }};
    using S = PairSpec;
    return {{
{chr(10).join(rows)}
    }};
}}

inline TagValues initial_values() {{
    return {{{ini}}};
}}

// The LPV bank: plant id, working point and gain of each local plant.
struct LpvPoint {{
    int id;
    double working_point, gain;
}};
inline constexpr LpvPoint lpv_points[] = {{{points}}};

}} // namespace korvel::reference
"""
    Path(target).parent.mkdir(parents=True, exist_ok=True)
    Path(target).write_text(text)


if __name__ == "__main__":
    main(*sys.argv[1:3])
