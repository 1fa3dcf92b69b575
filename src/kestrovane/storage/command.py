"""`kestrovane-pbt show URL [--plot PNG]`: a stored population at a glance."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from kestrovane.storage.errors import StoreError
from kestrovane.storage.show import fronts, table
from kestrovane.storage.stored import StoredPopulation

#: Exit statuses: the store could not be read; the picture could not be drawn; Ctrl-C.
EXIT_STORE, EXIT_PLOT, EXIT_INTERRUPTED = 2, 3, 130


def main(argv: list[str] | None = None) -> int:
    try:
        return _show(argv)
    except KeyboardInterrupt:
        print("kestrovane-pbt: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def _show(argv: list[str] | None) -> int:
    parser = argparse.ArgumentParser(prog="kestrovane-pbt",
                                     description="Inspect a PBT population kept in a store.")
    commands = parser.add_subparsers(dest="command", required=True)
    show = commands.add_parser("show", help="the members, their estimates and decisions")
    show.add_argument("url", help="sqlite:///path/pbt.db or postgresql://user@host/db")
    show.add_argument("--plot", type=Path, metavar="PNG",
                      help="also draw the first front of the window means over time")
    args = parser.parse_args(argv)
    try:
        pop = StoredPopulation.open(args.url)
        changes = pop.history()
        sys.stdout.write(table(pop, changes))
    except (StoreError, ValueError, TypeError) as exc:
        print(f"kestrovane-pbt: {exc}", file=sys.stderr)
        return EXIT_STORE
    if args.plot is not None:
        try:
            from kestrovane.storage.front_plot import draw

            draw(fronts(pop, changes), pop.objectives, pop.maximize, args.plot)
        except ImportError:
            print("kestrovane-pbt: --plot needs matplotlib (pip install 'kestrovane[plot]')",
                  file=sys.stderr)
            return EXIT_PLOT
        except OSError as exc:
            print(f"kestrovane-pbt: cannot write {args.plot}: {exc.strerror}", file=sys.stderr)
            return EXIT_PLOT
        print(f"front over time: {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
