#!/usr/bin/python3
"""The demo's tour of a service's life under Wine (vornel/demo.py). scripts/demo installs what
is missing and builds the programs and the package, then runs this.

Usage: scripts/demo.py [--prefix DIR]   (default: build/demo-wine)
"""

import sys

from vornel import demo

if __name__ == "__main__":
    sys.exit(demo.main())
