# SPDX-License-Identifier: MIT
"""hogspin-report's package: children, processes that end with the one that started them."""
