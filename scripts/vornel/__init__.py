"""What the project's Python commands and the end-to-end tests share.

wine      the rig: a private Wine prefix for a session, running programs, reading the
          registry and the service state through Wine's own tools (tests/e2e and every
          module below)
agent_home  an agent home with the sample agent installation: its pid file, the scripts' log
          of their runs, the agent's lock (tests/e2e, the soak)
procs     the Unix processes of a prefix and what /proc and Windows say about them
records   writing one section of a record page (docs/benchmarks.md, docs/robustness.md)
demo      the tour of a service's life that scripts/demo shows (scripts/demo.py)
soak      the soak tests (scripts/soak.py)
bench     the performance record (scripts/bench.py)
lookup    the bench's part on the info tool's reverse lookup

The commands in scripts/ are a few lines each that call these modules; scripts/ is on their
path because they live there, and tests/e2e/pytest.ini puts it on the tests' path.
"""
