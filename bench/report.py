"""What every part of the benchmark shares: where the project is, progress messages, the reason a number is
missing, and the Markdown rows of timings."""

import os
import statistics
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def log(message):
    """Progress, on standard error: standard output carries only the report."""
    print(message, file=sys.stderr, flush=True)


class Unmeasured(Exception):
    """A number that could not be taken; the report shows the reason instead."""


def in_turn(programs, turn):
    """The names of programs, starting at a different one in each round, so that none always runs first."""
    names = list(programs)
    k = turn % len(names)
    return names[k:] + names[:k]


def row(cells):
    return "| " + " | ".join(cells) + " |"


def header(cells, align=None):
    """A table's header and its rule. align has an "l" or "r" for each column; by default the first column is
    left-aligned text and the others right-aligned numbers."""
    align = align or "l" + "r" * (len(cells) - 1)
    return [row(cells), "|" + "|".join("---:" if a == "r" else "---" for a in align) + "|"]


def ratios(samples, base):
    """Against base, taken in the same rounds: the ratio of the medians, and the median of the per-round
    ratios, which a change of the machine's load during the run moves less."""
    if base is None:
        return ["1×", "1×"]
    ratio = statistics.median(samples) / statistics.median(base)
    paired = statistics.median(a / b for a, b in zip(samples, base))
    return [f"**{ratio:.3f}×**", f"{paired:.3f}×"]


def timing_row(label, samples, bases, unit, extra=()):
    """One table row: median, min and max of samples (seconds), shown in unit ("ms" or "µs"), then the ratios
    against each of bases (None where the row is that base itself)."""
    scale = 1000 if unit == "ms" else 1e6
    median, low, high = (statistics.median(samples) * scale, min(samples) * scale, max(samples) * scale)
    cells = [label, f"{median:.0f} {unit}", f"{low:.0f}", f"{high:.0f}"]
    for base in bases:
        cells += ratios(samples, base)
    return row(cells + list(extra))


def goal_line(what, samples, base, goal):
    """The verdict on a goal of the form "the ratio of the medians is at most goal"."""
    ratio = statistics.median(samples) / statistics.median(base)
    return f"Goal: {what} ≤ {goal}×: **{'met' if ratio <= goal else 'not met'}** ({ratio:.3f}×)."
