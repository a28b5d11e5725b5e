// The vrel language core: everything a host needs to build and run programs.
#pragma once

#include "vrel/evaluator.hpp"
#include "vrel/fatal.hpp"
#include "vrel/machine.hpp"
#include "vrel/native_stack.hpp"
#include "vrel/run_limits.hpp"
#include "vrel/syntax_tree.hpp"
#include "vrel/value.hpp"
#include "vrel/vector_builder.hpp"
