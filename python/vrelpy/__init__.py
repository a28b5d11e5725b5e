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

__doc__ = ""
__all__ = ["Vrel", "Statement", "Expr"]
