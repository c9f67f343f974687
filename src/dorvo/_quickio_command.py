"""The entry point of the `quickio` command, outside the dorvo.quickio
package: it takes Ctrl-C from its first line, before the package (NumPy
and the extension modules, a few tenths of a second) is imported, so that
an interrupt at any moment ends the command with one line and status 130
rather than a traceback of the import."""
import signal
import sys

INTERRUPTED = 130


def main() -> int:
    try:
        from dorvo.quickio.cli import main as run

        status = run()
    except KeyboardInterrupt:
        status = None
    # What is left is the interpreter's exit: nothing to interrupt.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if status is None:
        print("quickio: interrupted", file=sys.stderr)
        status = INTERRUPTED
    return status
