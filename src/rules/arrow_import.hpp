// Reading records from an object that exports an Arrow C stream (__arrow_c_stream__).
#pragma once

#include "rules/record_columns.hpp"
#include "rules/rule_program.hpp"

namespace vrelpy::rules {

// Reads every batch of `source.__arrow_c_stream__()` into `out`, one chunk a batch, a
// column per input found by name among the batch's fields. Ints, floats, booleans and texts
// (utf8, large utf8, utf8 view) are read in place; a null is a missing field. A missing
// column raises ValueError naming it, another type of column TypeError naming its format.
// False with the error pending.
bool read_arrow_stream(PyObject* source, const RuleProgram& program, RecordTable& out);

}  // namespace vrelpy::rules
