# SPDX-License-Identifier: MIT
"""What the report's parts share: the figures it compares, the order of names, short lists."""
import functools
import math
import re

NEVER = math.inf  # a throttle onset that never came lies beyond every one that did

# Each measurement case: its name's prefix, what the rest of its name is, its units and its
# column in the table (None: judged and listed, but no column).
FIGURES = [
    ('temp-max-', 'zone', 'C', 'max C'),
    ('temp-rise-', 'zone', 'C', 'rise C'),
    ('temp-tau-fast-', 'zone', 's', None),  # before temp-tau-, whose prefix it holds
    ('temp-tau-', 'zone', 's', 'τ s'),
    ('temp-steady-', 'zone', 'C', 'steady C'),
    ('thermal-resistance-', 'zone', 'K/W', 'R K/W'),
    ('sustainable-power-', 'zone', 'mW', None),
    ('power-idle-', 'meter', 'W', 'idle W'),
    ('power-load-', 'meter', 'W', 'load W'),
    ('throttle-onset-', 'cpu', 's', 'throttle onset s'),
    ('throttle-time-', 'cpu', 's', 'throttle time s'),
    ('clock-measured-', 'cpu', 'MHz', 'clock MHz'),
    ('power-mean-', 'meter', 'W', None),
    ('power-max-', 'meter', 'W', None),
    ('energy-', 'meter', 'J', None),
    ('freq-min-', 'cpu', 'MHz', None),
    ('cooling-', 'cooling', 's', None),
    ('dynamic-power-coefficient-', 'cpu', 'uW/MHz/V2', None),
    ('power-opp-', 'opp', 'W', None),  # its owner is cpuK-MHZ
    ('power-cluster-', 'opp', 'W', None),  # the same
]


class Failure(Exception):
    """Why the report cannot be made: exit status 2."""


def natural(text):
    return [(0, int(part), '') if part.isdigit() else (1, 0, part) for part in re.split(r'([0-9]+)', text)]


def few(names, most=8):
    names = list(names)
    shown = ', '.join(names[:most])
    return shown + (f' and {len(names) - most} more' if len(names) > most else '')


def boards_(n):
    return f'{n} board' + ('' if n == 1 else 's')


# Verdicts whose names begin as a figure's do: energy-model-linear-cpuK is no energy meter's.
VERDICTS = ('energy-model-linear-',)


@functools.lru_cache(maxsize=4096)  # a farm's logs repeat a few hundred names a million times
def figure_of(name):
    """(prefix, what, owner, units, column) for a measurement case's name, else None."""
    if name.startswith(VERDICTS):
        return None
    for prefix, what, units, column in FIGURES:
        owner = name[len(prefix):]
        if name.startswith(prefix) and owner and (what != 'cpu' or re.fullmatch(r'cpu[0-9]+', owner)):
            return prefix, what, owner, units, column
    return None
