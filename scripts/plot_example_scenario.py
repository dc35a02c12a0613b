#!/usr/bin/env python3
"""Plots key trajectories of the example scenario's reference run as SVG.

Usage: plot_example_scenario.py [CSV [SVG]]
  CSV defaults to models/pregnancy/reference/example_scenario.csv,
  SVG to models/pregnancy/reference/example_scenario.svg (both relative to the repository root).

Four panels over the 100 days of the scenario: iodide and perchlorate in
maternal and fetal plasma, iodide in the maternal and fetal thyroid, and the
mother's cumulative urinary iodide and perchlorate.
Plain SVG written directly; needs nothing beyond the standard library.
"""

import csv
import math
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PANELS = [
    ("Iodide in plasma", [("ca_mi", "mother"), ("capls_fi", "fetus")]),
    ("Perchlorate in plasma", [("ca_mp", "mother"), ("capls_fp", "fetus")]),
    ("Iodide in the thyroid", [("cthyt_mi", "mother"), ("cthy_fi", "fetus")]),
    ("Cumulative urine, mother", [("aelim_mi", "iodide"), ("aelim_mp", "perchlorate")]),
]
STYLES = [("#1f5fa8", ""), ("#d9711c", "6,4")]  # first series solid, second dashed
HEADROOM = 1.35  # keeps the plateaus clear of the legend

PANEL_W, PANEL_H = 380, 250
MARGIN_L, MARGIN_R, MARGIN_T, MARGIN_B = 70, 20, 34, 44
COLUMNS = 2
TITLE_H = 40


def read_columns(path):
    with open(path, newline="") as handle:
        rows = list(csv.reader(handle))
    names, values = rows[0], [[float(x) for x in row] for row in rows[1:] if row]
    return {name: [row[i] for row in values] for i, name in enumerate(names)}


def nice_ticks(top, count=5):
    """Round tick values from 0 to at least `top`."""
    if top <= 0:
        return [0.0, 1.0]
    raw = top / count
    magnitude = 10 ** math.floor(math.log10(raw))
    step = next(m * magnitude for m in (1, 2, 2.5, 5, 10) if m * magnitude >= raw)
    ticks, value = [], 0.0
    while value < top * (1 - 1e-12):
        ticks.append(value)
        value += step
    ticks.append(value)
    return ticks


def label(value):
    if value == 0:
        return "0"
    if abs(value) >= 1e5 or abs(value) < 1e-2:
        mantissa, exponent = f"{value:.1e}".split("e")
        return f"{mantissa.rstrip('0').rstrip('.')}e{int(exponent)}"
    return f"{value:g}"


def panel(out, x0, y0, title, series, days, data):
    plot_w = PANEL_W - MARGIN_L - MARGIN_R
    plot_h = PANEL_H - MARGIN_T - MARGIN_B
    left, top = x0 + MARGIN_L, y0 + MARGIN_T
    y_ticks = nice_ticks(HEADROOM * max(max(data[name]) for name, _ in series))
    x_ticks = nice_ticks(days[-1])

    def sx(day):
        return left + plot_w * day / x_ticks[-1]

    def sy(value):
        return top + plot_h * (1 - value / y_ticks[-1])

    out.append(f'<text x="{left + plot_w / 2}" y="{y0 + 20}" class="title">{title}</text>')
    for tick in y_ticks:
        y = sy(tick)
        out.append(f'<line x1="{left}" y1="{y:.1f}" x2="{left + plot_w}" y2="{y:.1f}" class="grid"/>')
        out.append(f'<text x="{left - 6}" y="{y + 4:.1f}" class="ylabel">{label(tick)}</text>')
    for tick in x_ticks:
        x = sx(tick)
        out.append(f'<line x1="{x:.1f}" y1="{top + plot_h}" x2="{x:.1f}" y2="{top + plot_h + 4}" class="axis"/>')
        out.append(f'<text x="{x:.1f}" y="{top + plot_h + 17}" class="xlabel">{label(tick)}</text>')
    out.append(f'<rect x="{left}" y="{top}" width="{plot_w}" height="{plot_h}" class="frame"/>')
    out.append(f'<text x="{left + plot_w / 2}" y="{top + plot_h + 34}" class="xlabel">day</text>')

    for (name, who), (colour, dash) in zip(series, STYLES):
        points = " ".join(f"{sx(d):.1f},{sy(v):.1f}" for d, v in zip(days, data[name]))
        dashing = f' stroke-dasharray="{dash}"' if dash else ""
        out.append(f'<polyline points="{points}" fill="none" stroke="{colour}" stroke-width="2"{dashing}/>')
    for k, ((name, who), (colour, dash)) in enumerate(zip(series, STYLES)):
        ly = top + 14 + 16 * k
        lx = left + plot_w - 160
        dashing = f' stroke-dasharray="{dash}"' if dash else ""
        out.append(f'<line x1="{lx}" y1="{ly - 4}" x2="{lx + 22}" y2="{ly - 4}" stroke="{colour}" '
                   f'stroke-width="2"{dashing}/>')
        out.append(f'<text x="{lx + 28}" y="{ly}" class="legend">{who} ({name})</text>')


def main():
    csv_path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "models/pregnancy/reference/example_scenario.csv")
    svg_path = sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "models/pregnancy/reference/example_scenario.svg")
    data = read_columns(csv_path)
    days = [t / 24 for t in data["t"]]

    rows = (len(PANELS) + COLUMNS - 1) // COLUMNS
    width, height = COLUMNS * PANEL_W, TITLE_H + rows * PANEL_H
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" font-family="sans-serif">',
        "<style>"
        ".title{font-size:14px;font-weight:bold;text-anchor:middle}"
        ".xlabel{font-size:11px;text-anchor:middle;fill:#333}"
        ".ylabel{font-size:11px;text-anchor:end;fill:#333}"
        ".legend{font-size:11px;fill:#333}"
        ".grid{stroke:#ddd;stroke-width:1}"
        ".axis{stroke:#555;stroke-width:1}"
        ".frame{fill:none;stroke:#555;stroke-width:1}"
        "</style>",
        f'<rect width="{width}" height="{height}" fill="white"/>',
        f'<text x="{width / 2}" y="26" class="title" style="font-size:16px">Example scenario: 200 ug/day '
        f'iodide, 0.007 mg/kg/day perchlorate</text>',
    ]
    for k, (title, series) in enumerate(PANELS):
        panel(out, (k % COLUMNS) * PANEL_W, TITLE_H + (k // COLUMNS) * PANEL_H, title, series, days, data)
    out.append("</svg>")

    os.makedirs(os.path.dirname(os.path.abspath(svg_path)), exist_ok=True)
    with open(svg_path, "w") as handle:
        handle.write("\n".join(out) + "\n")
    print(f"wrote {svg_path}")


if __name__ == "__main__":
    main()
