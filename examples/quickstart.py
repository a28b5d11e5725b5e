"""Quickstart: evaluate a few rules over a record with vrelpy.

A rule engine receives records (here: an order) and rules written by someone else. The
rules are built as vrel programs, run on a fresh machine per record, and can call Python
helpers that the host chooses to expose. A broken rule cannot crash the host: it raises
PanicException, which is a BaseException, so it is caught explicitly.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING

from vrelpy import Expr, PanicException, Statement, Vrel

if TYPE_CHECKING:
    from vrelpy import Value, ValueLike

E, S = Expr, Statement
ZONES = {"DE": 1, "FR": 1, "US": 2}


def load_record(machine: Vrel, record: Mapping[str, ValueLike]) -> None:
    """Binds every field of the record as a variable of the machine."""
    machine.run([S.let(name, E.literal(value)) for name, value in record.items()])


def shipping_zone(country: Value) -> int:
    """A Python helper the rules may call: maps a country code to a zone number."""
    return ZONES.get(country, 3) if isinstance(country, str) else 3


# total = price * quantity
# discounted = if total > 100 then total - 10 else total
# zone = shipping_zone(country)
# free_shipping = (zone == 1) and not (discounted < 50), written with nested ifs
RULES = [
    S.fn("shipping_zone", shipping_zone),
    S.let("total", E.binary_op(E.ident("price"), "*", E.ident("quantity"))),
    S.if_(
        E.greater_than(E.ident("total"), E.literal(100)),
        [S.let("discounted", E.binary_op(E.ident("total"), "-", E.literal(10)))],
        [S.let("discounted", E.ident("total"))],
    ),
    S.let("zone", E.call("shipping_zone", E.ident("country"))),
    S.let("free_shipping", E.literal(False)),
    S.if_(
        E.equals(E.ident("zone"), E.literal(1)),
        [S.let("free_shipping", E.not_(E.less_than(E.ident("discounted"), E.literal(50))))],
        [],
    ),
]

orders: list[dict[str, ValueLike]] = [
    {"id": "A-1", "price": 30, "quantity": 4, "country": "DE"},
    {"id": "A-2", "price": 12.5, "quantity": 2, "country": "US"},
    {"id": "A-3", "price": 9, "quantity": 5, "country": "FR"},
]

for order in orders:
    machine = Vrel()
    load_record(machine, order)
    machine.run(RULES)
    print(
        f"{order['id']}: total={machine.get('total')} "
        f"discounted={machine.get('discounted')} zone={machine.get('zone')} "
        f"free_shipping={machine.get('free_shipping')}"
    )

# A faulty rule (adding text to a number) stops its evaluation with a fatal error. The
# machine keeps the bindings made before the error and stays usable.
machine = Vrel()
load_record(machine, orders[0])
bad_rule = [
    S.let("before", E.literal("kept")),
    S.let("broken", E.binary_op(E.ident("price"), "+", E.ident("country"))),
    S.let("after", E.literal("never bound")),
]
try:
    machine.run(bad_rule)
except PanicException as error:  # a BaseException, so caught by name
    print(f"rule failed: {type(error).__name__}: {error}")
    print(f"  where: statement {error.statement}, node {error.node}, variable {error.variable!r}")
print(f"still bound after the failure: before={machine.get('before')!r}")
