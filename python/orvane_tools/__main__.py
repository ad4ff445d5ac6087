"""The `orvane` command (the installed script and `python -m orvane_tools`).

`run` imports the command line itself, so that Ctrl-C while the modules load ends the
command like Ctrl-C at any other time: one line and status 130, no traceback.
"""
import sys


def run() -> int:
    try:
        from ._cli import main
    except KeyboardInterrupt:
        sys.stderr.write("orvane: interrupted\n")
        return 130
    return main()


if __name__ == "__main__":
    sys.exit(run())
