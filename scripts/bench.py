#!/usr/bin/python3
"""The performance record under Wine: round trips beside sc and reg, start, stop and restart
latencies, the stop's answer and the time until stopped beside sc stop, the idle host, the info
tool's reverse lookup (vornel/bench.py, vornel/lookup.py); the tools' waits beside a 250-ms poll
(vornel/bench_waits.py).

Usage: scripts/bench.py [--runs N] [--slow-stop-runs N] [--idle-seconds S] [--lookup-runs N]
                        [--sizes 10,1000,10000] [--write]
       scripts/bench.py --only lookup [--lookup-runs N] [--sizes 10,1000,10000]
       scripts/bench.py --only waits [--runs N] [--write]
"""

import sys

from vornel import bench

if __name__ == "__main__":
    sys.exit(bench.main())
