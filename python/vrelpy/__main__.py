# `python -m vrelpy`: the package's command line.
#
#   python -m vrelpy check FILE...
#
# parses each rule file (UTF-8 text; "-" reads standard input) and prints every error as
# FILE:LINE:COL: message, followed by the line and a caret, as compilers do. The exit status
# is 0 when every file parses, 1 when any does not, 2 for a wrong command line. fn statements
# are checked for their form only: any function name is accepted, since the functions are
# the host's.
import sys
from collections.abc import Callable

from vrelpy import ParseError, parse

USAGE = "usage: python -m vrelpy check FILE..."


def _placeholder(value: object) -> object:
    return value


class _AnyFunction(dict[str, Callable[[object], object]]):
    """A functions mapping that has every name."""

    def __missing__(self, name: str) -> Callable[[object], object]:
        return _placeholder


def check(path: str) -> list[str]:
    """The error reports for one file: empty when it parses."""
    try:
        if path == "-":
            text = sys.stdin.read()
        else:
            with open(path, encoding="utf-8", newline="") as file:
                text = file.read()
    except (OSError, UnicodeDecodeError) as error:
        return [f"{path}: cannot read: {error}"]
    try:
        parse(text, functions=_AnyFunction())
    except ParseError as error:
        lines = str(error).split("\n")[1:]
        return ["\n".join([f"{path}:{error.lineno}:{error.colno}: {error.msg}", *lines])]
    except (RecursionError, ValueError) as error:
        return [f"{path}: {error}"]
    return []


def main(argv: list[str]) -> int:
    if len(argv) < 2 or argv[0] != "check":
        print(USAGE, file=sys.stderr)
        return 2
    failed = False
    for path in argv[1:]:
        for report in check(path):
            failed = True
            print(report)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
