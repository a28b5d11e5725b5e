# The vrelpy package: the compiled extension (vrelpy._vrelpy) under the package's name.
#
# vrelpy is a package, not a bare extension module, so that `python -m vrelpy` can run
# (the interpreter cannot run an extension module as __main__). Every name comes from the
# extension; the classes keep their names and module ("builtins"), and the rebuilders that
# pickles refer to say they live in vrelpy, so reprs and pickles are those of the single
# module that vrelpy was before.
from vrelpy._vrelpy import Vrel, Statement, Expr  # noqa: I001 (the order of vars(vrelpy))
from vrelpy._vrelpy import _expr_from_data, _statement_from_data
from vrelpy._vrelpy import parse, unparse, ParseError
# Beside the classes, outside __all__: the type of fatal errors, and the report switch.
from vrelpy._vrelpy import PanicException, set_error_report
from vrelpy._vrelpy import RuleSet, RuleError
from vrelpy._vrelpy import _rule_set

__doc__ = ""
# The one place of the version: pyproject.toml reads it from here.
__version__ = "0.1.0"
__all__ = ["Vrel", "Statement", "Expr"]
