"""Eligibility rules kept as JSON: loaded with from_data into a RuleSet, applied to records.

The programme's rules live in eligibility_rules.json beside this file, in vrelpy's data
form, so they can be stored, reviewed and changed without touching Python code. The host
decides which Python helpers the rules may call: `from_data` finds a function only in the
`functions` mapping it is given, and never imports anything the data names.

A RuleSet applies every rule to every record, each record on its own: a field the record
lacks is unbound (no value of the applicant before leaks in), and a rule that fails for a
record (here, dividing by a household size of 0, or a missing postcode) has a RuleError as
its result while the other rules and records go on. Nothing is written to standard error.
"""

from __future__ import annotations

import json
import pathlib
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from vrelpy import RuleError, RuleSet, Statement

if TYPE_CHECKING:
    from vrelpy import Value, ValueLike

RULES_FILE = pathlib.Path(__file__).with_name("eligibility_rules.json")
SCHEMA = 1


def in_region(postcode: Value) -> bool:
    """The programme covers the postcodes that start with 10 or 11."""
    return isinstance(postcode, str) and postcode.startswith(("10", "11"))


# The only Python functions that rules may call, under the names the data uses.
HELPERS: Mapping[str, Callable[[Any], ValueLike]] = {"in_region": in_region}


def load_program(data: Sequence[object], where: str) -> list[Statement]:
    program = []
    for index, statement in enumerate(data):
        try:
            program.append(Statement.from_data(statement, functions=HELPERS))
        except (TypeError, ValueError) as error:
            raise ValueError(f"{where}, statement {index}: {error}") from None
    return program


def load_rules(path: pathlib.Path = RULES_FILE) -> RuleSet:
    """The rule set of a rules file: its setup, and its rules in order. Malformed data fails
    the load, naming the rule and the spot in it."""
    document = json.loads(path.read_text(encoding="utf-8"))
    if document.get("schema") != SCHEMA:
        raise ValueError(f"{path.name}: schema {document.get('schema')!r}, expected {SCHEMA}")
    setup = load_program(document["setup"], f"{path.name}: setup")
    rules = {rule["name"]: load_program(rule["program"], f"{path.name}: rule {rule['name']!r}")
             for rule in document["rules"]}
    return RuleSet(rules, setup=setup, functions=HELPERS)


def verdict(outcome: Mapping[Any, object]) -> str:
    """One record's verdict from its rules' results: True, False, or a RuleError."""
    failed = [str(name) for name, result in outcome.items() if result is False]
    errors = [f"{name} (error: {result})" for name, result in outcome.items()
              if isinstance(result, RuleError)]
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
    # No postcode: the rule that reads it fails, instead of reading eda's.
    {"id": "fay", "age": 40, "income": 2000, "household": 2, "grants": 0},
]

if __name__ == "__main__":
    rule_set = load_rules()
    print(f"{len(rule_set.rules)} rules from {RULES_FILE.name}: "
          f"{', '.join(map(str, rule_set.rules))}; a record provides {', '.join(map(str, rule_set.inputs))}")
    for applicant, outcome in zip(APPLICANTS, rule_set.evaluate(APPLICANTS)):
        print(f"{applicant['id']}: {verdict(outcome)}")
