"""Building `if_` statements nested N deep against building N of them side by side.

    .venv/bin/python bench/nested_blocks.py [--depth N] [--repeat R]

Both sides call the same builders the same number of times: N conditions and N `if_`
statements, each over a one-statement block. Nested, each block holds the `if_` built before
it; flat, each holds a fresh `let` and the statements go into one list. A statement shares
the blocks of an `if_` it is given instead of copying them, so nesting should cost about
what the flat list costs (a copied block would make the nested side grow with the square of
the depth). Prints the best time of each side over R repetitions, and their ratio; the
nested program is also run once, to show that it still does what it says.
"""

from __future__ import annotations

import argparse
import time

from vrelpy import Expr, Statement, Vrel


def nested(n: int) -> list[Statement]:
    inner = Statement.let("inner", Expr.literal(n))
    for i in range(n):
        cond = Expr.less_than(Expr.literal(i), Expr.literal(n))
        inner = Statement.if_(cond, [inner], [])
    return [inner]


def flat(n: int) -> list[Statement]:
    out = []
    for i in range(n):
        cond = Expr.less_than(Expr.literal(i), Expr.literal(n))
        out.append(Statement.if_(cond, [Statement.let("inner", Expr.literal(i))], []))
    return out


def best(build, n: int, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        program = build(n)
        times.append(time.perf_counter() - start)
        del program  # destruction is not part of the building figure
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--depth", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=20)
    args = parser.parse_args()
    vm = Vrel()
    vm.run(nested(args.depth))
    assert vm.get("inner") == args.depth
    # Alternate the two sides so that a change of load touches both alike.
    nested_s = flat_s = float("inf")
    for _ in range(3):
        nested_s = min(nested_s, best(nested, args.depth, args.repeat))
        flat_s = min(flat_s, best(flat, args.depth, args.repeat))
    print(f"build {args.depth} if_ nested:      {nested_s * 1e3:8.3f} ms")
    print(f"build {args.depth} if_ side by side: {flat_s * 1e3:8.3f} ms")
    print(f"nested / flat: {nested_s / flat_s:.2f}")


if __name__ == "__main__":
    main()
