"""ratio_plot.py — draws tesk/NumPy time ratio against size, one panel per function."""

from __future__ import annotations

from collections import defaultdict
from pathlib import Path


def draw(rows, output: Path) -> None:
    """Writes a PNG with one panel per function: each series' measured ratios joined by a
    line, single-layout measurements as lone markers, targets as crosses in the
    series' colour."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels: dict[str, dict[str, list]] = defaultdict(lambda: defaultdict(list))
    axis_labels: dict[str, str] = {}
    for row in rows:
        if row.case.series is None:
            continue
        panels[row.case.function][row.case.series].append(row)
        axis_labels[row.case.function] = row.case.size_label

    figure, axes = plt.subplots(1, len(panels), figsize=(5 * len(panels), 4.2), squeeze=False)
    for axis, (function, series) in zip(axes[0], panels.items()):
        for name, members in series.items():
            members.sort(key=lambda row: row.case.size)
            sizes = [row.case.size for row in members]
            style = "o-" if len(members) > 1 else "s"
            (line,) = axis.plot(sizes, [row.ratio for row in members], style, label=name)
            targets = [(row.case.size, row.target) for row in members if row.target is not None]
            if targets:
                axis.plot(*zip(*targets), "x", color=line.get_color(), markersize=9)
        axis.plot([], [], "x", color="black", label="target (at most)")
        axis.axhline(1.0, color="grey", linewidth=0.8, linestyle="--")
        axis.set_xscale("log")
        axis.set_ylim(bottom=0)
        axis.set_title(function)
        axis.set_xlabel(axis_labels[function])
        axis.set_ylabel("tesk time / NumPy time")
        axis.grid(True, which="major", alpha=0.3)
        axis.legend(fontsize="small")
    figure.tight_layout()
    output.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(output, dpi=110)
    plt.close(figure)
