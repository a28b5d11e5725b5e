"""Eligibility rules written as text: parsed with vrelpy.parse, run over records.

The rules live in eligibility_rules.vrel beside this file, in the text form people write
and review (the same rules as eligibility_rules.json, the data form that programs
exchange). `parse` finds a function only in the `functions` mapping it is given, and a
syntax error in the file is a `vrelpy.ParseError` that says where it is; rule authors run
`python -m vrelpy check examples/eligibility_rules.vrel` before they commit a change.

Every top-level assignment of the file is one rule, named by the variable it binds; each
runs on its own for each record, so a rule that fails for a record (dividing by a
household size of 0) is reported for that record and the other rules and records go on.
"""

from __future__ import annotations

import pathlib
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any

from rules_from_json import APPLICANTS, check, in_region, verdict
from vrelpy import ParseError, Statement, Vrel, parse

if TYPE_CHECKING:
    from vrelpy import ValueLike

RULES_FILE = pathlib.Path(__file__).with_name("eligibility_rules.vrel")

# The only Python functions that rules may call, under the names the text uses.
HELPERS: Mapping[str, Callable[[Any], ValueLike]] = {"in_region": in_region}


def load_rules(path: pathlib.Path = RULES_FILE) -> tuple[list[Statement], dict[str, list[Statement]]]:
    """The setup program (the fn statements) and the rules, by name, of a rules file."""
    try:
        program = parse(path.read_text(encoding="utf-8"), functions=HELPERS)
    except ParseError as error:
        raise SystemExit(f"{path.name}:{error.lineno}:{error.colno}: {error.msg}") from None
    setup = [s for s in program if "fn" in s.to_data()]
    rules = {s.to_data()["let"][0]: [s] for s in program if "let" in s.to_data()}
    return setup, rules


if __name__ == "__main__":
    setup, rules = load_rules()
    print(f"{len(rules)} rules from {RULES_FILE.name}: {', '.join(rules)}")
    for rule in rules.values():
        print("  " + rule[0].to_text())
    machine = Vrel()
    machine.run(setup)
    machine["pending grant"] = False
    for applicant in APPLICANTS:
        print(f"{applicant['id']}: {verdict(check(machine, rules, applicant))}")
    # A typing slip is caught with its place before anything runs.
    try:
        parse("adult = age >= 18 and\nresident = in_region(postcode)", functions=HELPERS)
    except ParseError as error:
        print(f"a broken rule: line {error.lineno}, column {error.colno}: {error.msg}")
