"""Static call graph of Python libraries, read from their sources with ``ast``.

The analysed code is never imported or run.  Three passes, each in modules
of its own:

1. Reading (``sources``, ``scopes``, ``imports``, ``reader``, ``expressions``):
   every module is parsed and its code interpreted in order, scope by scope.
   Names get sets of abstract values (``values``): functions, classes,
   modules, instances, containers, literal texts, and symbolic values that
   stand for what is not known yet: a parameter, an import, a call's result,
   an attribute, an element.  The pass records every call site with its
   arguments, what each function returns, and every assignment to an
   attribute or an item (``definitions``).  Tests against None narrow
   what a function returns (``narrowing``); module and class tests of
   environment variables take the branch an ordinary run takes, with the
   variables unset (``environment``).
2. The fixpoint (``fixpoint``, ``resolve``): calls bind their arguments to
   the parameters of every function they can reach, return values flow back,
   attribute and container assignments add to what the attribute or container
   holds, round after round until nothing changes (or a bound is reached).
   Classes are searched along their C3 method resolution order; decorators
   are applied as the calls they are; lambdas are functions.
3. Records (``records``): each function's calls, component look-ups by
   name, decorators and defaults are read off the resolved values.

The analysis is flow-sensitive within one scope (a name rebound later in a
function or module holds the later value from there on) and flow- and
context-insensitive across functions: a parameter holds everything any call
passes, a function returns everything it can return.  An edge is drawn only
where a value can flow; what cannot be seen (an unknown base class, the
result of a library outside the analysed ones) reaches nothing.
"""

from .callgraph import generate_call_graph
from .values import CELL_DECORATORS

__all__ = ["CELL_DECORATORS", "generate_call_graph"]
