// Rule results as an Arrow C stream: an object with __arrow_c_stream__ and
// __arrow_c_schema__, built through the C data interface without linking against Arrow.
#pragma once

#include <vector>

#include "rules/rule_results.hpp"
#include "support/py_ref.hpp"

namespace vrelpy::rules {

// A new `vrelpy.ArrowResults` holding the results as one batch of columns, one per rule in
// order: int64, float64 (ints and floats mixed), bool or utf8 by the values the rule gave
// (any other mix: utf8 of the values' debug forms); a null where the rule failed or gave
// null. A rule that failed on some record adds a utf8 column "<rule>.error" after its own,
// with the message where it failed. Null with an exception pending.
PyRef export_arrow(const ResultTable& results, const std::vector<PyRef>& rule_names);

// Creates the type object; null with an exception pending.
PyTypeObject* create_arrow_results_type();

}  // namespace vrelpy::rules
