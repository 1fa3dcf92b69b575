"""The pieces of bench_mc.py, one idea a module: the cells and their
implementations (cells.py), the peers' runs and their validation
(peer_runs.py), the C++ floor (floor.py), timing (timing.py), memory in
fresh interpreters (memory.py), the machine and build (machine.py), the
tables (tables.py) and the goals (targets.py)."""
