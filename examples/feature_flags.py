"""Feature flags evaluated by a pool of worker threads.

Settings live in one shared machine, `SETTINGS`, that every worker reads while an operator
may change them. The flag rules are built once as `Statement` objects, which are immutable
and shared by all threads. Each worker thread evaluates requests on a machine of its own,
so that the variables of one request never mix with those of another: a machine has one
flat set of variables and no scopes.
"""

from __future__ import annotations

import threading
import zlib
from collections.abc import Mapping
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING

from vrelpy import Expr, Statement, Vrel

if TYPE_CHECKING:
    from vrelpy import Value, ValueLike

E, S = Expr, Statement
FLAGS: tuple[str, ...] = ("new_checkout", "beta_search", "priority_support")

SETTINGS = Vrel()


def publish(settings: Mapping[str, ValueLike]) -> None:
    """The operator's side: rebinds settings; running evaluations see old or new values."""
    SETTINGS.run([S.let(name, E.literal(value)) for name, value in settings.items()])


def setting(name: Value) -> Value:
    """Helper for the rules: reads one setting from the shared machine."""
    if not isinstance(name, str):
        raise TypeError(f"setting names are texts, not {name!r}")
    return SETTINGS.get(name)


def bucket(user: Value) -> int:
    """Helper for the rules: a stable number from 0 to 99 for a user, for rollouts."""
    return zlib.crc32(str(user).encode()) % 100


def member(pair: Value) -> bool:
    """Helper for the rules: [item, list] -> whether the list holds the item."""
    match pair:
        case [item, list() as items]:
            return item in items
        case _:
            raise TypeError(f"member expects [item, list], got {pair!r}")


# new_checkout      bucket(user) < setting("checkout_rollout")
# beta_search       member([country, setting("beta_countries")])
# priority_support  if plan == "pro" then true else member([user, setting("vip_users")])
FLAG_RULES = [
    S.fn("setting", setting),
    S.fn("bucket", bucket),
    S.fn("member", member),
    S.let(
        "new_checkout",
        E.less_than(
            E.call("bucket", E.ident("user")),
            E.call("setting", E.literal("checkout_rollout")),
        ),
    ),
    S.let(
        "beta_search",
        E.call("member", E.vector([E.ident("country"), E.call("setting", E.literal("beta_countries"))])),
    ),
    S.if_(
        E.equals(E.ident("plan"), E.literal("pro")),
        [S.let("priority_support", E.literal(True))],
        [
            S.let(
                "priority_support",
                E.call("member", E.vector([E.ident("user"), E.call("setting", E.literal("vip_users"))])),
            )
        ],
    ),
]


class WorkerMachine(threading.local):
    """One machine per worker thread, made on the thread's first request."""

    def __init__(self) -> None:
        self.machine = Vrel()


WORKER = WorkerMachine()


def evaluate(request: Mapping[str, ValueLike]) -> dict[str, bool]:
    machine = WORKER.machine
    machine.run([S.let(name, E.literal(value)) for name, value in request.items()] + FLAG_RULES)
    return {flag: machine.get(flag) is True for flag in FLAGS}


REQUESTS: list[dict[str, ValueLike]] = [
    {"user": f"user-{n}", "plan": "pro" if n % 5 == 0 else "free", "country": country}
    for n, country in enumerate(["NL", "DE", "SE", "US", "NL", "FR"] * 20)
]


def evaluate_all(pool: ThreadPoolExecutor) -> dict[str, int]:
    """Evaluates every request on the pool; returns how many requests have each flag on."""
    counts: dict[str, int] = dict.fromkeys(FLAGS, 0)
    for flags in pool.map(evaluate, REQUESTS):
        for flag, on in flags.items():
            counts[flag] += on
    return counts


if __name__ == "__main__":
    publish({"checkout_rollout": 10, "beta_countries": ["NL", "SE"], "vip_users": ["user-7"]})
    with ThreadPoolExecutor(max_workers=4) as pool:
        print(f"{len(REQUESTS)} requests, rollout 10%:", evaluate_all(pool))
        publish({"checkout_rollout": 50, "beta_countries": ["NL", "SE", "FR"]})
        print(f"{len(REQUESTS)} requests, rollout 50%:", evaluate_all(pool))
    print("user-7 on a free plan:", evaluate({"user": "user-7", "plan": "free", "country": "US"}))
