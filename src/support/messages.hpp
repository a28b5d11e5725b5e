// Every fixed text the binding shows to Python: messages, names and docstrings.
//
// These texts are part of the module's interface: callers and tests compare against them
// character for character. Several read like slips ("Rust trait", "PyO3", `Result::unwrap()`)
// but are exactly what callers expect. Never reword, re-space or "fix" one of them.
#pragma once

#include <array>

namespace vrelpy::msg {

// ---- Module and classes ----------------------------------------------------------------------
// The extension is the submodule _vrelpy of the package vrelpy, which re-exports it; its
// functions say they live in the package (pickles refer to them there).
inline constexpr char kModuleName[] = "vrelpy._vrelpy";
inline constexpr char kPackageName[] = "vrelpy";
inline constexpr char kModuleDoc[] = "";  // an empty str, not None
inline constexpr char kSubinterpreters[] =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/howto/isolating-extensions.html";
inline constexpr char kAllNotList[] = "__all__ must be a list";

inline constexpr char kVrelTypeName[] = "builtins.Vrel";
inline constexpr char kStatementTypeName[] = "builtins.Statement";
inline constexpr char kExprTypeName[] = "builtins.Expr";
inline constexpr char kVrelDoc[] = "Vrel()\n--\n\n";

// "No constructor defined for <type name>" (PyErr_Format).
inline constexpr char kNoConstructorFormat[] = "No constructor defined for %U";
// "<class> object is not initialized" (PyErr_Format): an instance that was never built.
inline constexpr char kNotInitializedFormat[] = "%s object is not initialized";

// ---- Method signatures and docstrings --------------------------------------------------------
inline constexpr char kVrelNew[] = "Vrel.__new__()";
inline constexpr char kVrelRun[] = "Vrel.run()";
inline constexpr char kVrelRunDoc[] = "run($self, stmts)\n--\n\n";
inline constexpr char kVrelGet[] = "Vrel.get()";
inline constexpr char kVrelGetDoc[] = "get($self, ident)\n--\n\n";
inline constexpr char kVrelSetLimits[] = "Vrel.set_limits()";
inline constexpr char kVrelSetLimitsDoc[] =
    "set_limits($self, *, steps=None, memory=None, seconds=None)\n--\n\n"
    "Bound every later run of this machine; an omitted limit is unset.";
inline constexpr char kVrelLimitsDoc[] =
    "The limits set by set_limits: a new dict {'steps', 'memory', 'seconds'}, None where "
    "unset.";

inline constexpr char kExprLiteral[] = "Expr.literal()";
inline constexpr char kExprLiteralDoc[] = "literal(value)\n--\n\n";
inline constexpr char kExprIdent[] = "Expr.ident()";
inline constexpr char kExprIdentDoc[] = "ident(id)\n--\n\n";
inline constexpr char kExprBinaryOp[] = "Expr.binary_op()";
inline constexpr char kExprBinaryOpDoc[] = "binary_op(a, o, b)\n--\n\n";
inline constexpr char kExprEquals[] = "Expr.equals()";
inline constexpr char kExprEqualsDoc[] = "equals(a, b)\n--\n\n";
inline constexpr char kExprNot[] = "Expr.not_()";
inline constexpr char kExprNotDoc[] = "not_(item)\n--\n\n";
inline constexpr char kExprGreaterThan[] = "Expr.greater_than()";
inline constexpr char kExprGreaterThanDoc[] = "greater_than(a, b)\n--\n\n";
inline constexpr char kExprLessThan[] = "Expr.less_than()";
inline constexpr char kExprLessThanDoc[] = "less_than(a, b)\n--\n\n";
inline constexpr char kExprCall[] = "Expr.call()";
inline constexpr char kExprCallDoc[] = "call(ident, args)\n--\n\n";
inline constexpr char kExprVector[] = "Expr.vector()";
inline constexpr char kExprVectorDoc[] = "vector(items)\n--\n\n";
inline constexpr char kExprAnd[] = "Expr.and_()";
inline constexpr char kExprAndDoc[] =
    "and_(a, b)\n--\n\n"
    "True when the booleans a and b both hold; b is evaluated only when a holds.";
inline constexpr char kExprOr[] = "Expr.or_()";
inline constexpr char kExprOrDoc[] =
    "or_(a, b)\n--\n\n"
    "True when the boolean a or the boolean b holds; b is evaluated only when a does not.";
inline constexpr char kExprCond[] = "Expr.cond()";
inline constexpr char kExprCondDoc[] =
    "cond(condition, then, otherwise)\n--\n\n"
    "then when the boolean condition holds, otherwise otherwise; only the chosen one is "
    "evaluated.";

inline constexpr char kStatementLet[] = "Statement.let()";
inline constexpr char kStatementLetDoc[] = "let(ident, pxpr)\n--\n\n";
inline constexpr char kStatementIf[] = "Statement.if_()";
inline constexpr char kStatementIfDoc[] = "if_(pxpr, then, otherwise)\n--\n\n";
inline constexpr char kStatementFn[] = "Statement.fn()";
inline constexpr char kStatementFnDoc[] = "fn(ident, item)\n--\n\n";

// ---- Argument binding: "<method> <fragment>..." ----------------------------------------------
inline constexpr char kTakes[] = " takes ";
inline constexpr char kPositionalBut[] = " positional arguments but ";
inline constexpr char kWasGiven[] = " was given";
inline constexpr char kWereGiven[] = " were given";
inline constexpr char kMultipleValues[] = " got multiple values for argument '";
inline constexpr char kUnexpectedKeyword[] = " got an unexpected keyword argument '";
inline constexpr char kUnprintableName[] = "<unprintable>";
inline constexpr char kMissing[] = " missing ";
inline constexpr char kRequiredPositional[] = " required positional ";
inline constexpr char kArgument[] = "argument";
inline constexpr char kArguments[] = "arguments";
inline constexpr char kNameListStart[] = ": ";
inline constexpr char kNameAnd[] = " and ";
inline constexpr char kNameCommaAnd[] = ", and ";
inline constexpr char kNameComma[] = ", ";
// "argument '<name>': <original message>"
inline constexpr char kArgumentPrefix[] = "argument '";
inline constexpr char kArgumentPrefixEnd[] = "': ";

// ---- Type mismatch: "'<type>' object cannot be converted to '<target>'" ----------------------
inline constexpr char kMismatchStart[] = "'";
inline constexpr char kMismatchMiddle[] = "' object cannot be converted to '";
inline constexpr char kMismatchEnd[] = "'";
inline constexpr char kNoTypeName[] = "<failed to extract type name>";
// Targets named in mismatch errors.
inline constexpr char kTargetNoneType[] = "NoneType";
inline constexpr char kTargetBool[] = "PyBool";
inline constexpr char kTargetString[] = "PyString";
inline constexpr char kTargetSequence[] = "Sequence";
inline constexpr char kTargetFunction[] = "PyFunction";
inline constexpr char kTargetVrel[] = "Vrel";
inline constexpr char kTargetExpr[] = "Expr";
inline constexpr char kTargetStatement[] = "Statement";

// ---- Limits: the names of Vrel.limits' keys and set_limits' arguments, and their errors -------
inline constexpr char kLimitSteps[] = "steps";
inline constexpr char kLimitMemory[] = "memory";
inline constexpr char kLimitSeconds[] = "seconds";
// "<name> must ..." (PyErr_Format with the argument's name).
inline constexpr char kCountLimitFormat[] = "%s must be a positive int";
inline constexpr char kCountLimitTooLargeFormat[] = "%s must be at most 9223372036854775807";
inline constexpr char kSecondsLimit[] = "seconds must be a positive int or float";
inline constexpr char kSecondsNotFinite[] = "seconds must be finite";
inline constexpr char kSecondsTooLarge[] = "seconds must be at most 9.2e9";

// ---- Conversion ------------------------------------------------------------------------------
inline constexpr char kStrToVec[] = "Can't extract `str` to `Vec`";
inline constexpr char kFunctionToPython[] = "Cannot convert a Rust trait to Python";
inline constexpr char kBinaryOperator[] = "Expected one of: +, -, *, /";
// "object of type '<type str>' does not define a '__bool__' conversion"
inline constexpr char kNoBoolStart[] = "object of type '";
inline constexpr char kNoBoolEnd[] = "' does not define a '__bool__' conversion";
inline constexpr char kUnprintableType[] = "?";
// "failed to extract enum <Enum> ('<A> | <B>')" then per variant
// "\n- variant <A> (<A>): TypeError: failed to extract field <Enum>::<A>.0, caused by <chain>"
inline constexpr char kEnumStart[] = "failed to extract enum ";
inline constexpr char kEnumNamesStart[] = " ('";
inline constexpr char kEnumNameSeparator[] = " | ";
inline constexpr char kEnumNamesEnd[] = "')";
inline constexpr char kVariantStart[] = "\n- variant ";
inline constexpr char kVariantOpen[] = " (";
inline constexpr char kVariantField[] = "): TypeError: failed to extract field ";
inline constexpr char kVariantPath[] = "::";
inline constexpr char kVariantCause[] = ".0, caused by ";
inline constexpr char kUnknownError[] = "<unknown error>";
inline constexpr char kCausedBy[] = ", caused by ";
inline constexpr char kValueEnum[] = "PyValue";
inline constexpr std::array<const char*, 6> kValueVariants = {"Null", "Boolean", "String",
                                                              "I64",  "F64",     "Vector"};
inline constexpr char kIdentifierEnum[] = "PyIdentifier";
inline constexpr std::array<const char*, 2> kIdentifierVariants = {"U", "S"};
inline constexpr char kRecursionFormat[] = "maximum recursion depth exceeded%s";
inline constexpr char kWhileConvertingPython[] = " while converting a Python value";
inline constexpr char kWhileConvertingVrel[] = " while converting a vrel value";
inline constexpr char kApiCallFailed[] = "Python API call failed";

// ---- Errors and panics -----------------------------------------------------------------------
inline constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";
inline constexpr char kUnexpectedCxx[] = "unexpected C++ exception in vrelpy";
inline constexpr char kPanicTypeName[] = "pyo3_runtime.PanicException";
inline constexpr char kPanicDoc[] =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
inline constexpr char kEmptyPanic[] = "panic from Rust code";
inline constexpr char kUnwrappedPanic[] = "Unwrapped panic from Python code";
// The message of the interrupted fatal error that carries a KeyboardInterrupt or SystemExit
// out of a run; never shown (the exception itself is raised), unless it was lost.
inline constexpr char kInterruptedByFunction[] = "Run interrupted by a Python function";
inline constexpr char kResumingPanic[] =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";
// "<qualified type name>: <str(exc)>"
inline constexpr char kDisplaySeparator[] = ": ";
inline constexpr char kUnprintableStr[] = "<exception str() failed>";
// "PyErr { type: <repr>, value: <repr>, traceback: None | Some("<text>") }"
inline constexpr char kDebugType[] = "PyErr { type: ";
inline constexpr char kDebugValue[] = ", value: ";
inline constexpr char kDebugTraceback[] = ", traceback: ";
inline constexpr char kDebugNone[] = "None";
inline constexpr char kDebugSome[] = "Some(";
inline constexpr char kDebugEnd[] = " }";
inline constexpr char kUnprintableTypeRepr[] = "<unprintable type>";
inline constexpr char kUnprintableException[] = "<unprintable exception>";
inline constexpr char kUnformattableStart[] = "<unformattable ";
inline constexpr char kTracebackFallback[] = "traceback";
// The fatal messages of a Python function called by the language.
inline constexpr char kUnwrapErr[] = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr char kFunctionFailed[] = "Failed while executing Python function with Vrel: ";
inline constexpr char kWithGilFailed[] = "Failed to run Python::with_gil(...): ";
// "PyVrelFn { f: Py(0x7f...) }"
inline constexpr char kFunctionDebugStart[] = "PyVrelFn { f: Py(";
inline constexpr char kFunctionDebugEnd[] = ") }";

// ---- Written forms of programs: repr, data form, pickling ------------------------------------
inline constexpr char kToDataDoc[] =
    "to_data($self, /)\n--\n\nThe data form: nested dicts and lists of plain values.";
inline constexpr char kExprFromDataDoc[] =
    "from_data(data)\n--\n\nRebuild an expression from its data form.";
inline constexpr char kStatementFromDataDoc[] =
    "from_data(data, functions=None)\n--\n\nRebuild a statement from its data form.";
inline constexpr char kProgramReduceDoc[] =
    "__reduce__($self, /)\n--\n\nPickled through the data form.";
inline constexpr char kCopyDoc[] = "__copy__($self, /)\n--\n\nThe object itself: it is immutable.";
inline constexpr char kDeepCopyDoc[] =
    "__deepcopy__($self, memo, /)\n--\n\nThe object itself: it is immutable.";
inline constexpr char kRebuildExprDoc[] =
    "_expr_from_data(data)\n--\n\nExpr.from_data, under a name that pickles can refer to.";
inline constexpr char kRebuildStatementDoc[] =
    "_statement_from_data(data, functions=None)\n--\n\n"
    "Statement.from_data, under a name that pickles can refer to.";
// The size limit (PyErr_Format with the limit).
// The formats take the limit and what it counts ("nodes", "literal values", "bytes of text").
inline constexpr char kTooLargeToWriteFormat[] =
    "program too large to write out: more than %llu %s, counting a shared subtree at every "
    "place it is used";
inline constexpr char kTooLargeToReadFormat[] =
    "program data too large: more than %llu %s, counting a shared part at every place it is "
    "used";
inline constexpr char kFunctionsNotMappingFormat[] =
    "functions must be a mapping from names to functions, not '%.200s'";
inline constexpr char kSameNameFunctionsFormat[] =
    "two different functions are named %R; their statements cannot be told apart in the data "
    "form";
inline constexpr char kForeignFunction[] = "a function not made by Statement.fn has no data form";
inline constexpr char kQualnameNotStr[] = "a function's __qualname__ must be a str";
// Where the recursion guard stops ("maximum recursion depth exceeded<where>").
inline constexpr char kWritingRepr[] = " while writing the repr of a program";
inline constexpr char kWritingData[] = " while writing a program as data";
inline constexpr char kReadingData[] = " while reading program data";
// from_data's messages: "at <path>: expected <what>, got <description>".
inline constexpr char kExpectedExpr[] = "an expression";
inline constexpr char kExpectedStatement[] = "a statement";
inline constexpr char kExpectedIdent[] = "an identifier (an int from 0 to 2**64-1, or a str)";
inline constexpr char kExpectedValue[] =
    "a value (None, a bool, an int, a float, a str, or a list of values)";
inline constexpr char kExpectedOperator[] = "an operator: '+', '-', '*' or '/'";
inline constexpr char kExprKinds[] =
    "literal, ident, binary_op, equals, not, greater_than, less_than, call, vector, and, or, cond";
inline constexpr char kStatementKinds[] = "let, if, fn";

// ---- The machine as a mapping ----------------------------------------------------------------
inline constexpr char kVrelUpdateDoc[] =
    "update($self, other=(), /, **kwargs)\n--\n\n"
    "Bind many variables from a mapping or (ident, value) pairs and keywords.";
inline constexpr char kVrelKeysDoc[] = "keys($self, /)\n--\n\nA list of the bound identifiers.";
inline constexpr char kVrelReduceDoc[] =
    "__reduce__($self, /)\n--\n\nRefused: a machine cannot be pickled.";
inline constexpr char kVrelClearDoc[] =
    "clear($self, /)\n--\n\nRemove every binding: reading any name afterwards fails as for a "
    "name never bound.";
inline constexpr char kVrelNotPicklable[] =
    "cannot pickle 'Vrel' object: a machine is live state; pickle the program (Statement and "
    "Expr objects) and bind the variables in a new Vrel";
inline constexpr char kUpdateArgumentsFormat[] = "update expected at most 1 argument, got %zd";
inline constexpr char kUpdateNotSequenceFormat[] =
    "cannot convert update sequence element #%zd to a sequence";
inline constexpr char kUpdateLengthFormat[] =
    "update sequence element #%zd has length %zd; 2 is required";

// ---- Rule sets ----------------------------------------------------------------------------
// The core's message for a name never bound (its own text, repeated for a rule whose
// program did not bind its name).
inline constexpr char kValueNotFound[] = "Value cannot be found: ";
inline constexpr char kRuleSetTypeName[] = "vrelpy.RuleSet";
inline constexpr char kRuleSetDoc[] =
    "RuleSet(rules, *, setup=None, functions=None, limits=None)\n--\n\n"
    "Named rules applied to many records, each record on its own.\n\n"
    "rules maps each rule's name to an Expr (its value is the result) or a list of "
    "Statements that binds the rule's name, either of them as text. setup is a list of Statements "
    "run once before "
    "any record; functions is the mapping of functions for rules given as text or data; "
    "limits is a dict of Vrel.set_limits's steps, memory and seconds, applied to each rule "
    "on each record.";
inline constexpr char kRuleSetEvaluateDoc[] =
    "evaluate($self, records, /, *, workers=1)\n--\n\n"
    "Evaluate every rule on every record: an iterable of mappings gives a list of dicts, a "
    "mapping of columns a dict of lists, a pandas DataFrame a DataFrame, an Arrow stream an "
    "Arrow stream. A rule that fails has a RuleError as its result.";
inline constexpr char kRuleSetInputsDoc[] =
    "The names the rules read that neither the setup nor an earlier rule binds.";
inline constexpr char kRuleSetFunctionsCalledDoc[] = "The names the rules call.";
inline constexpr char kRuleSetRulesDoc[] = "A new dict of the rules, name -> rule.";
inline constexpr char kRuleSetSetupDoc[] = "The setup statements, as a list.";
inline constexpr char kRuleSetLimitsDoc[] = "The limits of each rule on each record.";
inline constexpr char kRuleSetReduceDoc[] =
    "__reduce__($self, /)\n--\n\nPickle the rules through their own pickles.";
inline constexpr char kRuleErrorTypeName[] = "vrelpy.RuleError";
inline constexpr char kRuleErrorDoc[] =
    "The failure of one rule on one record, returned as that rule's result. str(error) is "
    "the message; rule names the rule; statement, node and variable say where it failed "
    "as a PanicException's do for a run of the rule, and a note says it in words. Failures "
    "alike share one RuleError.";
inline constexpr char kRulesNotMapping[] = "rules must be a mapping of rule names to rules";
inline constexpr char kRulesBadRuleFormat[] =
    "rule %R must be an Expr, a list of Statements or a str, got '%s'";
inline constexpr char kRulesBadLimitFormat[] =
    "limits has the key %R; only steps, memory and seconds are limits";
inline constexpr char kRulesLimitsNotMapping[] = "limits must be a dict of steps, memory, seconds";
inline constexpr char kRulesWorkers[] = "workers must be an int from 1 to 256";
inline constexpr char kRulesMissingColumnFormat[] =
    "the records have no column %R, which the rules read";
inline constexpr char kRulesColumnLengthFormat[] =
    "column %R has %zu records where the columns before it have %zu";
inline constexpr char kRulesArrowStreamFormat[] = "the Arrow stream failed with error %d: %s";
inline constexpr char kRulesArrowTypeFormat[] =
    "column %R has the Arrow format '%s', which rules do not read (ints, floats, booleans and "
    "texts are read)";
inline constexpr char kRulesArrowNotStructFormat[] =
    "an Arrow stream of records holds structs (format '+s'), not format '%s'";

}  // namespace vrelpy::msg
