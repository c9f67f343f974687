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

Ctrl-C at any moment ends a command with one line, "quickio: interrupted",
and status 130, whatever it was doing (what it was writing is removed),
also when a library along the way swallowed the interrupt. A reader of
our output that goes away (`quickio info ... | head`) ends the command
quietly with status 141, as the shell reports a program ended by SIGPIPE.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import os
import re
import signal
import sys
import threading
import traceback
import warnings

PROG = "quickio"
EXIT_OK, EXIT_NOT_WELL_FORMED, EXIT_ERROR, EXIT_INTERRUPTED, EXIT_PIPE = 0, 1, 2, 130, 141
INTERRUPT_HELP = (
    "Ctrl-C ends it at any moment with status 130 (and the line 'quickio: interrupted'); a reader "
    "of its output that goes away, with status 141."
)
EXIT_HELP = (
    "Exit status: 0 success, 1 'info' found the dump not well-formed or a view's dump changed, "
    f"2 error. {INTERRUPT_HELP}"
)

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
    epilog: str | None = None

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        raise NotImplementedError

    def run(self, args: argparse.Namespace) -> int:
        raise NotImplementedError

    def add_to(self, subparsers) -> None:
        description = self.help[0].upper() + self.help[1:] + "." + (f" {self.details}" if self.details else "")
        epilog = f"{self.epilog or 'Exit status: 0 success, 2 error.'} {INTERRUPT_HELP}"
        parser = subparsers.add_parser(self.name, help=self.help, description=description, epilog=epilog)
        self.add_arguments(parser)
        add_debug_option(parser, default=argparse.SUPPRESS)
        parser.set_defaults(run=self.run)


def add_debug_option(parser, default):
    # Accepted before and after the command's name; given after it, the
    # subcommand's default (SUPPRESS) leaves the main parser's value alone.
    parser.add_argument(
        "--debug",
        action="store_true",
        default=default,
        help="show the traceback of an error, not only its one-line message",
    )


def os_message(e: OSError, path=None) -> str:
    """One line for a file that cannot be opened, read or written: the
    file's name (the one the error names, else `path`) and what is wrong."""
    name = os.fsdecode(e.filename) if e.filename is not None else path
    if name is None:
        return e.strerror or str(e)
    if e.filename is None and e.errno is None and str(e).startswith(f"{name}: "):
        return str(e)  # names the file already ("...: the file changed since it was opened")
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


@contextlib.contextmanager
def _warning_lines(debug: bool):
    """Shows the warnings of this package as one line "quickio: warning:
    ..." (as Python shows them, with the line of our code that warned,
    under --debug); others as Python does."""
    shown = warnings.showwarning

    def show(message, category, filename, lineno, file=None, line=None):
        if debug or not category.__module__.startswith("dorvo.quickio"):
            shown(message, category, filename, lineno, file, line)
        else:
            print(f"{PROG}: warning: {' '.join(str(message).split())}", file=sys.stderr if file is None else file)

    warnings.showwarning = show
    try:
        yield
    finally:
        warnings.showwarning = shown


def _boundary(parser: argparse.ArgumentParser, argv) -> int:
    debug = False
    try:
        args = parser.parse_args(argv)
        debug = args.debug
        with _warning_lines(debug):
            status = args.run(args)
        sys.stdout.flush()  # a closed pipe shows here, not at exit
        return status
    except (CliError, OSError, MemoryError) as e:
        if isinstance(e, BrokenPipeError) and e.filename is None:
            raise
        if debug:
            traceback.print_exc()
        print(f"{PROG}: error: {_message(e)}", file=sys.stderr)
        return EXIT_ERROR


@contextlib.contextmanager
def interrupts():
    """Yields a list that notes every Ctrl-C (SIGINT) while the block runs,
    each one raised as KeyboardInterrupt as usual; a KeyboardInterrupt that
    Python can only report, not raise (in a finalizer), is noted and not
    printed. Outside the main thread, where no signal arrives, or when
    SIGINT is ignored, nothing is changed."""
    seen = []
    if threading.current_thread() is not threading.main_thread() or signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
        yield seen  # (a shell ignores SIGINT for a job it runs in the background: so do we)
        return

    def on_interrupt(number, frame):
        seen.append(number)
        raise KeyboardInterrupt

    def unraisable(report):
        if not isinstance(report.exc_value, KeyboardInterrupt):
            hook(report)

    previous, hook = signal.signal(signal.SIGINT, on_interrupt), sys.unraisablehook
    sys.unraisablehook = unraisable
    try:
        yield seen
    finally:
        signal.signal(signal.SIGINT, previous)
        sys.unraisablehook = hook


def run(parser: argparse.ArgumentParser, argv) -> int:
    """Parses `argv` and runs the command it names, inside the boundary:
    returns the exit status."""
    status = EXIT_INTERRUPTED
    try:
        with interrupts() as seen:
            try:
                status = _boundary(parser, argv)
            except BrokenPipeError:
                # The reader of our output went away: nothing left to say.
                # stdout goes to devnull, so that the flush at exit does not
                # complain again.
                os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
                status = EXIT_PIPE
            if seen:
                status = EXIT_INTERRUPTED  # noted, though swallowed along the way
    except KeyboardInterrupt:
        status = EXIT_INTERRUPTED
    if status == EXIT_INTERRUPTED:
        print(f"{PROG}: interrupted", file=sys.stderr)
    return status
