"""kestrovane-select: Monte-Carlo Pareto selection from the command line.

Reads a population of uncertain scores (or uses a built-in example), runs
`kestrovane.select` on it and prints the winners, the losers, every member's
win and loss probabilities and place statistics in the order of the
selection, and the exploit plan.

The population comes from FILE; from standard input with FILE '-', or
without FILE when standard input is not a terminal (a pipe or a redirected
file); else, and with --example, from the built-in example.  Standard input
is read in the --format given, or in the format its content shows: a zip
archive is npz, text starting with '{' or '[' is json, other text csv.
Empty standard input is an error, never the example: a script whose pipe
brought nothing must not get a result for other data.

Exit status: 0 done; 1 the run failed (out of memory, said with what took
it and the largest population that fits; the picture could not be written);
2 a bad argument or input file, with one line naming the file and the place
in it; 130 interrupted (Ctrl-C); 141 standard output closed early (a pipe
into `head`).
"""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
from collections.abc import Iterable
from types import ModuleType
from typing import Any, NoReturn

import kestrovane
from kestrovane import Selection
from kestrovane._api import parameters as P
from kestrovane._api.bounds import Choice, IntRange, RealRange
from kestrovane._api.memory import MemoryShortage
from kestrovane._api.progress import command_line_progress
from kestrovane.cli.example import example_population
from kestrovane.cli.output import OutputPathError, atomic_path, check_writable
from kestrovane.cli.population_file import (FORMATS, PopulationFile, PopulationFileError,
                                            content_format, is_blank, read_population)
from kestrovane.cli.table import selection_order, summarise, table_lines

PROG = "kestrovane-select"
EXIT_FAILED, EXIT_INPUT, EXIT_INTERRUPTED, EXIT_PIPE = 1, 2, 130, 141
STDIN = "<stdin>"

DESCRIPTION = """\
Monte-Carlo Pareto selection under uncertain scores. All objectives are
minimised unless named with --maximize.

FILE is a .csv (UTF-8, a byte-order mark is fine; a header row of 'id'
(optional) and per objective 'mu_<name>' with exactly one of 'var_<name>' or
'sd_<name>'; other columns are an error unless --ignore-extra-columns), a .npz
with arrays 'mu' and 'sigma2', or a .json object with 'mu' and 'sigma2' or 'sd'
(both: optional 'ids', 'objectives'). Means must be finite; variances and
standard deviations finite and >= 0 (a standard deviation whose square
overflows is refused).

Standard input is read with FILE '-', and without FILE when it is not a
terminal (cat pop.csv | kestrovane-select). Its format is --format, else
told from the content: a zip archive is npz, text whose first non-blank
character is '{' or '[' is json, other text csv. Empty standard input is an
error. Without FILE on a terminal, and with --example, a built-in example
population is used."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_INPUT, f"{self.prog}: error: {message}\n")


def _check(p: argparse.ArgumentParser, option: str, value: float | None,
           parameter: P.Parameter[IntRange | RealRange]) -> None:
    if value is not None and value not in parameter.kind:
        p.error(f"{option} must be in {parameter.kind.span()}, got {value}")


def _choices(p: argparse.ArgumentParser, option: str, parameter: P.Parameter[Choice],
             text: str) -> None:
    """An option taking one of a declared parameter's choices."""
    p.add_argument(option, choices=parameter.kind.options, default=parameter.default,
                   help=f"{text} (default {parameter.default})")


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = _Parser(prog=PROG, description=DESCRIPTION,
                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("file", nargs="?", metavar="FILE",
                   help="population file, or - for standard input")
    p.add_argument("--format", choices=FORMATS,
                   help="read FILE as this format (default: by its extension, or for "
                        "standard input by its content)")
    p.add_argument("--example", action="store_true",
                   help="use the built-in example population, whatever standard input is")
    p.add_argument("--ignore-extra-columns", action="store_true",
                   help="skip CSV columns that are not id, mu_, var_ or sd_")
    p.add_argument("--maximize", action="append", metavar="NAME[,NAME]", default=[],
                   help="objectives to maximise (repeatable)")
    p.add_argument("--samples", type=int, default=P.N_SAMPLES.default,
                   help=f"Monte-Carlo samples, {P.N_SAMPLES.kind.span()} "
                        f"(default {P.N_SAMPLES.default})")
    p.add_argument("--percentile", type=float, default=P.PERCENTILE.default,
                   help=f"fraction that wins and loses per sample, in "
                        f"{P.PERCENTILE.kind.span()} (default {P.PERCENTILE.default})")
    p.add_argument("--seed", type=int, default=P.SEED.default,
                   help=f"random seed, {P.SEED.kind.span()} (default {P.SEED.default})")
    _choices(p, "--mode", P.MODE, "compare per-objective ranks or raw values")
    _choices(p, "--quantiles", P.QUANTILES,
             "place quantiles: auto, exact or p2 (constant memory)")
    _choices(p, "--ties", P.TIES,
             "who wins a tie in a sample's order: a random member or the earlier row")
    p.add_argument("--threads", type=int, metavar="T", default=P.THREADS.default,
                   help=f"threads for the sampling, {P.THREADS.kind.span()} (default: every "
                        "core for runs big enough to gain); the result is the same for any T")
    p.add_argument("--top", type=_positive, metavar="K",
                   help="show at most K members in each list: winners, losers, the "
                        "table, the plan and those kept as both (also in --json)")
    p.add_argument("--json", action="store_true", help="print the result as JSON")
    p.add_argument("-o", "--output", metavar="FILE",
                   help="write the table (or JSON) to FILE instead of standard output")
    p.add_argument("--plot", metavar="FILE.png",
                   help="also draw the selection (.png, .svg, .pdf, ...)")
    p.add_argument("--progress", action="store_true",
                   help="show progress on stderr at once, even when it is not a terminal")
    args = p.parse_args(argv)
    _check(p, "--samples", args.samples, P.N_SAMPLES)
    _check(p, "--percentile", args.percentile, P.PERCENTILE)
    _check(p, "--threads", args.threads, P.THREADS)
    _check(p, "--seed", args.seed, P.SEED)
    if args.example and args.file is not None:
        p.error(f"--example takes no FILE (got {args.file!r})")
    args.maximize = [name.strip() for item in args.maximize for name in item.split(",")
                     if name.strip()]
    return args


class _Fail(Exception):
    """One line for stderr and the exit status."""

    def __init__(self, message: str, status: int = EXIT_INPUT) -> None:
        super().__init__(message)
        self.status = status


def _plot_module(path: str) -> ModuleType:
    """The plotting module, after checking `path` (before any work)."""
    try:
        from kestrovane.cli import plot
    except ImportError:
        raise _Fail("--plot needs matplotlib; install it with "
                    "pip install 'kestrovane[plot]'") from None
    check_writable(path, "--plot")
    plot.check_format(path)
    return plot


def _stdin_is_terminal() -> bool:
    """True also when there is no standard input (closed, or none given)."""
    try:
        return sys.stdin is None or sys.stdin.isatty()
    except (ValueError, OSError):
        return True


def _read_stdin() -> bytes:
    stream = sys.stdin
    try:
        binary = getattr(stream, "buffer", None)
        if binary is not None:
            data: bytes = binary.read()
            return data
        return str(stream.read()).encode("utf-8", "surrogateescape")
    except MemoryError:
        raise _Fail(f"{STDIN}: too large to read into memory") from None
    except (OSError, ValueError) as e:
        raise _Fail(f"{STDIN}: cannot be read ({getattr(e, 'strerror', None) or e})") \
            from None


def _reads_stdin(args: argparse.Namespace) -> bool:
    return args.file == "-" or (args.file is None and not args.example
                                and not _stdin_is_terminal())


def _population(args: argparse.Namespace) -> PopulationFile:
    if not _reads_stdin(args):
        if args.file is None:
            return example_population()
        return read_population(args.file, args.format,
                               ignore_extra_columns=args.ignore_extra_columns)
    data = _read_stdin()
    if is_blank(data):
        raise _Fail(f"{STDIN}: empty: no population came in (give FILE, or --example for "
                    "the built-in example)")
    return read_population(STDIN, args.format or content_format(STDIN, data), data=data,
                           ignore_extra_columns=args.ignore_extra_columns)


def _check_maximize(names: list[str], pop: PopulationFile) -> None:
    for name in names:
        if name not in pop.objectives:
            raise _Fail(f"--maximize: unknown objective {name!r}; the objectives are "
                        f"{', '.join(map(repr, pop.objectives))}")


def _select(pop: PopulationFile, args: argparse.Namespace, source: str) -> Selection[str]:
    line = command_line_progress(sys.stderr, args.progress)
    try:
        return kestrovane.select(
            pop.mu, pop.sigma2, n_samples=args.samples, percentile=args.percentile,
            seed=args.seed, mode=args.mode, quantiles=args.quantiles,
            maximize=args.maximize or None, ids=pop.ids, objectives=pop.objectives,
            progress=False if line is None else line, threads=args.threads, ties=args.ties)
    except (ValueError, TypeError) as e:
        raise _Fail(f"{source}: {e}") from None
    except MemoryShortage as e:  # its reasons, naming options rather than arguments
        reasons = e.explain("--quantiles p2", "--threads 1")
        raise _Fail(f"not enough memory for this run: {reasons}", EXIT_FAILED) from None
    except MemoryError:
        raise _Fail("not enough memory for this run", EXIT_FAILED) from None
    finally:
        if line is not None:
            line.close()


def _write(lines: Iterable[str], path: str | None) -> None:
    if path is None:
        out = sys.stdout
        for text in lines:
            out.write(text + "\n")
        out.flush()
        return
    with atomic_path(path) as temp:
        with open(temp, "w", encoding="utf-8", errors="backslashreplace") as f:
            for text in lines:
                f.write(text + "\n")


def _json_lines(summary: dict[str, Any]) -> Iterable[str]:
    """The summary as indented JSON; each member's row on one line, written
    by the fast encoder (indenting 100 000 rows key by key takes seconds)."""
    rows = summary["individuals"]
    head = json.dumps({k: v for k, v in summary.items() if k != "individuals"}, indent=2)
    yield head[:-2] + ',\n  "individuals": ['
    last = len(rows) - 1
    for i, row in enumerate(rows):
        yield "    " + json.dumps(row) + ("," if i < last else "")
    yield "  ]\n}"


def run_cli(args: argparse.Namespace) -> int:
    plot = _plot_module(args.plot) if args.plot else None
    if args.output:
        check_writable(args.output, "-o")
    source = STDIN if _reads_stdin(args) else args.file or "example"
    pop = _population(args)
    _check_maximize(args.maximize, pop)
    sel = _select(pop, args, source)
    summary = summarise(pop, sel, args.top)
    _write(_json_lines(summary) if args.json else table_lines(summary, args.top), args.output)
    if plot is not None:
        try:
            plot.plot_selection(pop, sel, selection_order(sel), args.plot)
        except OSError as e:
            raise _Fail(f"--plot {args.plot}: cannot write the picture ({e.strerror or e})",
                        EXIT_FAILED) from None
        except (ValueError, RuntimeError, MemoryError) as e:  # from matplotlib's drawing
            raise _Fail(f"--plot {args.plot}: cannot draw the picture ({type(e).__name__}: "
                        f"{str(e).splitlines()[0] if str(e) else ''})", EXIT_FAILED) from None
        if not args.json and args.output is None:
            print(f"plot written to {args.plot}")
            sys.stdout.flush()
    return 0


def _say(message: str) -> None:
    try:
        print(f"{PROG}: {message}", file=sys.stderr)
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):  # stderr closed too
        pass


def _silence_stdout() -> None:
    """After a closed pipe: the interpreter's final flush must not fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        pass


def main(argv: list[str] | None = None) -> int:
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="backslashreplace")  # any id can be printed
    try:
        return run_cli(parse_args(argv))
    except (PopulationFileError, OutputPathError) as e:
        _say(f"error: {e}")
        return EXIT_INPUT
    except _Fail as e:
        _say(f"error: {e}")
        return e.status
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_PIPE
    except KeyboardInterrupt:  # the sampling stops within milliseconds of Ctrl-C
        _say("interrupted")
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
