// The limits of a machine's runs as Python sees them: the arguments of Vrel.set_limits and
// the dict of Vrel.limits.
#pragma once

#include "support/py_ref.hpp"
#include "vrel/run_limits.hpp"

namespace vrelpy {

// The limits named by the (borrowed, possibly null or None) arguments `steps`, `memory` and
// `seconds`; null or None leaves that limit unset. Returns false with a TypeError or
// ValueError pending that names the argument, such as "steps must be a positive int":
//  - steps, memory: an int (not a bool) from 1 to 2**63 - 1;
//  - seconds: an int or float (not a bool), positive, finite and at most 9.2e9.
bool limits_from_python(PyObject* steps, PyObject* memory, PyObject* seconds, vrel::RunLimits& out);

// A new dict {"steps": int | None, "memory": int | None, "seconds": float | None}.
PyRef limits_to_python(const vrel::RunLimits& limits);

}  // namespace vrelpy
