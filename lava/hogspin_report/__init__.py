# SPDX-License-Identifier: MIT
"""hogspin-report's code: a farm's boards side by side from their hogspin-check soaks.

reading: the logs and their soaks; names: board names as shown; judging: medians, scales and
outliers; writing: Markdown and CSV; drawing: the picture through gnuplot; command: the
command line; children: processes that end with the one that started them.
"""
