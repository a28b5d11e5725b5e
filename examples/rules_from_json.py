"""Eligibility rules kept as JSON: loaded with from_data, run over records fed with update.

The programme's rules live in eligibility_rules.json beside this file, in vrelpy's data
form, so they can be stored, reviewed and changed without touching Python code. The host
decides which Python helpers the rules may call: `from_data` finds a function only in the
`functions` mapping it is given, and never imports anything the data names.

Each record is bound with one `update` call on the machine (no statements are built for
the inputs), then every rule runs on its own: a rule that fails for a record (here,
dividing by a household size of 0) is reported for that record, and the other rules and
records go on.
"""

from __future__ import annotations

import json
import pathlib
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from vrelpy import PanicException, Statement, Vrel

if TYPE_CHECKING:
    from vrelpy import Value, ValueLike

RULES_FILE = pathlib.Path(__file__).with_name("eligibility_rules.json")
SCHEMA = 1


def in_region(postcode: Value) -> bool:
    """The programme covers the postcodes that start with 10 or 11."""
    return isinstance(postcode, str) and postcode.startswith(("10", "11"))


# The only Python functions that rules may call, under the names the data uses.
HELPERS: Mapping[str, Callable[[Any], ValueLike]] = {"in_region": in_region}

Rules = dict[str, list[Statement]]


def load_program(data: Sequence[object], where: str) -> list[Statement]:
    program = []
    for index, statement in enumerate(data):
        try:
            program.append(Statement.from_data(statement, functions=HELPERS))
        except (TypeError, ValueError) as error:
            raise ValueError(f"{where}, statement {index}: {error}") from None
    return program


def load_rules(path: pathlib.Path = RULES_FILE) -> tuple[list[Statement], Rules]:
    """The setup program and the rules, by name, of a rules file. Malformed data fails the
    load, naming the rule and the spot in it."""
    document = json.loads(path.read_text(encoding="utf-8"))
    if document.get("schema") != SCHEMA:
        raise ValueError(f"{path.name}: schema {document.get('schema')!r}, expected {SCHEMA}")
    setup = load_program(document["setup"], f"{path.name}: setup")
    rules = {rule["name"]: load_program(rule["program"], f"{path.name}: rule {rule['name']!r}")
             for rule in document["rules"]}
    return setup, rules


def check(machine: Vrel, rules: Rules, record: Mapping[str, ValueLike]) -> dict[str, bool | str]:
    """Every rule's result for one record: True, False, or the text of its error. The
    machine may have served earlier records: `update` replaces all of their fields."""
    machine.update(record)
    outcome: dict[str, bool | str] = {}
    for name, program in rules.items():
        try:
            machine.run(program)
        except PanicException as error:  # a BaseException: named, so nothing else is caught
            outcome[name] = f"error: {error}"
            continue
        result = machine[name]
        outcome[name] = result if isinstance(result, bool) else f"error: not a boolean: {result!r}"
    return outcome


def verdict(outcome: Mapping[str, bool | str]) -> str:
    failed = [name for name, result in outcome.items() if result is False]
    errors = [f"{name} ({result})" for name, result in outcome.items() if isinstance(result, str)]
    if errors:
        return "cannot decide: " + "; ".join(errors)
    if failed:
        return "not eligible: " + ", ".join(failed)
    return "eligible"


APPLICANTS: Sequence[dict[str, ValueLike]] = [
    {"id": "ann", "age": 34, "postcode": "10115", "income": 3600, "household": 3, "grants": 0},
    {"id": "bob", "age": 17, "postcode": "20095", "income": 900, "household": 1, "grants": 0},
    {"id": "cem", "age": 51, "postcode": "11011", "income": 5200, "household": 2, "grants": 1},
    {"id": "dia", "age": 29, "postcode": "10999", "income": 1200, "household": 0, "grants": 0},
    {"id": "eda", "age": 62, "postcode": "11300", "income": 2800, "household": 2, "grants": 0},
]

if __name__ == "__main__":
    setup, rules = load_rules()
    print(f"{len(rules)} rules from {RULES_FILE.name}: {', '.join(rules)}")
    machine = Vrel()
    machine.run(setup)
    for applicant in APPLICANTS:
        print(f"{applicant['id']}: {verdict(check(machine, rules, applicant))}")
