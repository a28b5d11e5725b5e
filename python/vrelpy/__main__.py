# `python -m vrelpy`: the package's command line.
import sys

USAGE = "usage: python -m vrelpy check FILE..."


def main(argv: list[str]) -> int:
    print(USAGE, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
