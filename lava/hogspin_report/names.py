# SPDX-License-Identifier: MIT
"""Board names as the report shows them: decoded, safe in Markdown, CSV and gnuplot, distinct."""
import collections
import re
from urllib.parse import unquote

# What a table cell or a line of notes takes as it is; '%' is not among them, so that the
# escapes below read back one way only.
SAFE = re.compile(r'[A-Za-z0-9._:+/@ _-]')
PLOT_SAFE = re.compile(r'[A-Za-z0-9-]')
UNSAFE_PLOT = re.compile(r'[^A-Za-z0-9_-]+')


def _bytes(char):
    # A byte that was no UTF-8 came back from unquote as a lone surrogate: that byte again.
    if '\udc80' <= char <= '\udcff':
        return char.encode('utf-8', 'surrogateescape')
    return char.encode('utf-8', 'surrogatepass')


def safe(text):
    """text with every character that is neither a safe ASCII one nor printable beyond ASCII
    written as %XX of its UTF-8 bytes: two texts that differ still differ."""
    return ''.join(c if SAFE.match(c) or (c > '\x7f' and c.isprintable() and not c.isspace())
                   else ''.join(f'%{b:02X}' for b in _bytes(c)) for c in text)


def shown(value):
    """A hogspin-board value as the report names the board: the check writes a byte outside
    printable ASCII, a ',' or a '%' as %XX, read back here as UTF-8 where that gives printable
    text (an older check wrote '_', which stays)."""
    return safe(unquote(value, errors='surrogateescape'))


def _spelt(name):
    return ''.join(c if PLOT_SAFE.match(c) else ''.join(f'_{b:02X}' for b in _bytes(c)) for c in name)


def plot_names(names):
    """Each name as gnuplot gets it, letters, digits, '_' and '-' alone: cut to those where no
    other name cuts to the same, else spelt out byte by byte ('_C3' for 0xC3), which is unique."""
    raw = {n: unquote(n, errors='surrogateescape') for n in names}  # the shown name's escapes undone
    cut = {n: UNSAFE_PLOT.sub('_', raw[n]) or '_' for n in names}
    spelt = set()
    while True:
        given = {n: _spelt(raw[n]) if n in spelt else cut[n] for n in names}
        count = collections.Counter(given.values())
        clash = {n for n in names if count[given[n]] > 1 and n not in spelt}
        if not clash:
            return given
        spelt |= clash
