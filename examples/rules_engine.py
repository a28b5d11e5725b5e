"""Eligibility rules over records: a grant programme checks its applicants.

The programme's staff write the rules; the host application owns the data and decides
which Python helpers the rules may call. Each rule is an expression that must come out
true or false. Rules are built once and reused for every applicant; each applicant gets a
fresh machine holding its fields. A rule that cannot be evaluated for a record (here: a
missing field) is reported as an error for that record only, and the other rules still run.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING

from vrelpy import Expr, PanicException, Statement, Vrel

if TYPE_CHECKING:
    from vrelpy import Value, ValueLike

E, S = Expr, Statement

ALREADY_FUNDED = {"cem"}


def in_region(postcode: Value) -> bool:
    """The programme covers the postcodes that start with 10 or 11."""
    return isinstance(postcode, str) and postcode.startswith(("10", "11"))


def per_person(pair: Value) -> float:
    """Income per household member; the rule passes [income, household size]."""
    match pair:
        case [int() | float() as income, int() | float() as size] if size > 0:
            return income / size
        case _:
            raise ValueError(f"per_person expects [income, household size], got {pair!r}")


def already_funded(applicant: Value) -> bool:
    return applicant in ALREADY_FUNDED


HELPERS = [
    S.fn("in_region", in_region),
    S.fn("per_person", per_person),
    S.fn("already_funded", already_funded),
]

# The rules, as the staff wrote them:
#   adult        not (age < 18)
#   resident     in_region(postcode)
#   low_income   per_person([income, household]) < 1500
#   first_grant  not already_funded(id)
RULES: dict[str, Expr] = {
    "adult": E.not_(E.less_than(E.ident("age"), E.literal(18))),
    "resident": E.call("in_region", E.ident("postcode")),
    "low_income": E.less_than(
        E.call("per_person", E.vector([E.ident("income"), E.ident("household")])),
        E.literal(1500),
    ),
    "first_grant": E.not_(E.call("already_funded", E.ident("id"))),
}
RULE_PROGRAMS = {name: [S.let(name, rule)] for name, rule in RULES.items()}


def check(record: Mapping[str, ValueLike]) -> dict[str, bool | str]:
    """Evaluates every rule for one record: True, False, or the text of its error."""
    machine = Vrel()
    machine.run(HELPERS + [S.let(field, E.literal(value)) for field, value in record.items()])
    outcome: dict[str, bool | str] = {}
    for name, program in RULE_PROGRAMS.items():
        try:
            machine.run(program)
        except PanicException as error:  # a BaseException: named, so nothing else is caught
            outcome[name] = f"error: {error}"
            continue
        result = machine.get(name)
        outcome[name] = result if isinstance(result, bool) else f"error: not a boolean: {result!r}"
    return outcome


APPLICANTS: list[dict[str, ValueLike]] = [
    {"id": "ann", "age": 34, "postcode": "10115", "income": 3600, "household": 3},
    {"id": "bob", "age": 17, "postcode": "20095", "income": 900, "household": 1},
    {"id": "cem", "age": 51, "postcode": "11011", "income": 5200, "household": 2},
    {"id": "dia", "age": 29, "postcode": "10999", "household": 2},
]

if __name__ == "__main__":
    for applicant in APPLICANTS:
        outcome = check(applicant)
        failed = [name for name, result in outcome.items() if result is False]
        errors = [f"{name} ({result})" for name, result in outcome.items() if isinstance(result, str)]
        if errors:
            verdict = "cannot decide: " + "; ".join(errors)
        elif failed:
            verdict = "not eligible: " + ", ".join(failed)
        else:
            verdict = "eligible"
        print(f"{applicant['id']}: {verdict}")
