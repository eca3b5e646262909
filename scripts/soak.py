#!/usr/bin/python3
"""Soak tests under Wine: the host supervising an agent that keeps ending, a crash loop under
the restart back-off, start/stop cycles
through the tools with status queries beside them, and stops while a slow stop script runs,
by one stop tool and by several at once (vornel/soak.py).

Usage: scripts/soak.py [--minutes M] [--cycles N] [--stop-cycles N] [--write]
       scripts/soak.py --only host|restarts|tools|stops [--minutes M] [--cycles N] [--stop-cycles N]
"""

import sys

from vornel import soak

if __name__ == "__main__":
    sys.exit(soak.main())
