"""What the project's Python commands and the end-to-end tests share.

wine      the rig: a private Wine prefix for a session, running programs, reading the
          registry and the service state through Wine's own tools (the e2e tests and every
          command below)
procs     the Unix processes of a prefix and what /proc and Windows say about them
records   writing one section of a record page (docs/benchmarks.md, docs/robustness.md)

The commands' own logic lives here too, one module each, run by the thin commands in
scripts/.
"""
