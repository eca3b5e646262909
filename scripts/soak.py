#!/usr/bin/python3
"""Soak tests under Wine: the host supervising an agent that keeps ending, and start/stop
cycles through the tools with status queries beside them (vornel/soak.py).

Usage: scripts/soak.py [--minutes M] [--cycles N] [--only host|tools] [--write]
"""

import sys

from vornel import soak

if __name__ == "__main__":
    sys.exit(soak.main())
