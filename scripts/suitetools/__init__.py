"""The suite's Python tooling, one module per concern: facts (the suite's settings),
wavfile, sounds (the demo's loop, keys, tones and click), cycles (the recorder's
cycles.txt), checks (the demo's audio checks and their verdict), measurements,
summary (what each program did), shmtools (wardencheck's and wardenpeek's output),
network (the demo across two servers), linkwatch (linkwatch's log, over a window and
set beside a recording), plots, soak_sampling, soak_judgement and soak_link (the link
in a soak across two hosts).

The entry points in scripts/ import it directly; the tests get scripts/ on PYTHONPATH.
"""
