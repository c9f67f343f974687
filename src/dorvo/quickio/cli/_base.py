"""What every `quickio` command shares: its parser, its base class, and the
one error boundary that every command runs inside.

An ordinary failure (a missing or unreadable file, a file that is no dump,
a URL that cannot be fetched, a missing optional dependency, an output that
cannot be written, bad arguments) is one line on stderr, "quickio: error:
...", with exit status 2. Commands raise CliError for what they find wrong
themselves; an OSError or MemoryError from anywhere is reported the same
way, naming the file. Any other exception is a fault of this program and
keeps its traceback. --debug prints the traceback of an ordinary failure
too, before its line.
"""
from __future__ import annotations

import argparse
import errno
import os
import re
import sys
import traceback

PROG = "quickio"
SUFFIX = ".bin"
EXIT_OK, EXIT_NOT_WELL_FORMED, EXIT_ERROR, EXIT_INTERRUPTED = 0, 1, 2, 130

# Arguments that argparse must take as (negative) numbers, not as options:
# "-1", "-.5", "-1e-3", "-inf", "-nan". Its own pattern takes only plain
# decimals, so "--range -1e-3 1e3" and "--where 0 -inf 5" were refused. No
# option of ours starts with a digit, a point, "inf" or "nan".
NEGATIVE_NUMBER = re.compile(r"^-(\d|\.\d|inf(inity)?$|nan$)", re.IGNORECASE)


class CliError(Exception):
    """An error to report as one line on stderr, with exit status 2."""


class Parser(argparse.ArgumentParser):
    """argparse, with its errors raised as CliError (so that they go
    through the boundary) and numbers in any notation taken as values."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._negative_number_matcher = NEGATIVE_NUMBER

    def error(self, message):
        raise CliError(f"{message} (see '{self.prog} --help')")


class Command:
    """One subcommand. A subclass gives its `name`, its `help` (also the
    start of its description, with `details` after it), adds its arguments
    and runs: run() returns the exit status, and raises CliError, OSError
    or MemoryError for an ordinary failure."""

    name = ""
    help = ""
    details = ""
    epilog = None

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        raise NotImplementedError

    def run(self, args: argparse.Namespace) -> int:
        raise NotImplementedError

    def add_to(self, subparsers) -> None:
        description = self.help[0].upper() + self.help[1:] + "." + (f" {self.details}" if self.details else "")
        parser = subparsers.add_parser(self.name, help=self.help, description=description, epilog=self.epilog)
        self.add_arguments(parser)
        add_debug_option(parser, default=argparse.SUPPRESS)
        parser.set_defaults(run=self.run)


def add_debug_option(parser, default):
    # Accepted before and after the command's name; given after it, the
    # subcommand's default (SUPPRESS) leaves the main parser's value alone.
    parser.add_argument("--debug", action="store_true", default=default,
                        help="show the traceback of an error, not only its one-line message")


def os_message(e: OSError, path=None) -> str:
    """One line for a file that cannot be opened, read or written: the
    file's name (the one the error names, else `path`) and what is wrong."""
    name = os.fsdecode(e.filename) if e.filename is not None else path
    if name is None:
        return e.strerror or str(e)
    if isinstance(e, FileNotFoundError):
        if os.path.islink(name):
            return f"{name}: broken symbolic link (its target does not exist)"
        return f"{name}: no such file"
    if e.errno == errno.ELOOP:
        return f"{name}: symbolic link loop (too many levels of symbolic links)"
    if isinstance(e, PermissionError):
        return f"{name}: permission denied"
    if isinstance(e, IsADirectoryError):
        return f"{name}: is a directory, not a dump"
    return f"{name}: {e.strerror or e}"


def _message(e: BaseException) -> str:
    if isinstance(e, OSError):
        text = os_message(e)
    elif isinstance(e, MemoryError):
        text = f"not enough memory{': ' + str(e) if str(e) else ''}"
    else:
        text = str(e)
    return " ".join(text.split())


def run(parser: argparse.ArgumentParser, argv) -> int:
    """Parses `argv` and runs the command it names, inside the boundary:
    returns the exit status."""
    debug = False
    try:
        args = parser.parse_args(argv)
        debug = args.debug
        return args.run(args)
    except BrokenPipeError:
        # The reader of our output went away (`quickio info ... | head`):
        # nothing left to say. Point stdout at devnull so that the flush at
        # exit does not complain again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_NOT_WELL_FORMED
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except (CliError, OSError, MemoryError) as e:
        if debug:
            traceback.print_exc()
        print(f"{PROG}: error: {_message(e)}", file=sys.stderr)
        return EXIT_ERROR
