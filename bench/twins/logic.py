"""Pure-Python twin of orvane.tessel.logic."""
import ast
import logging
import re

__all__ = ["And", "Or", "Not"]

logger = logging.getLogger(__name__)


class BaseLogic(object):
    """Base class of the logic classes; does no testing by itself."""

    def __init__(self, *expressions):
        self.expressions = []
        for expr in expressions:
            if isinstance(expr, str):
                expr = re.compile(expr)
            elif not callable(expr):
                raise TypeError("Expression only accepts str and callable. Got: %s (%s)"
                                % (expr, type(expr)))
            self.expressions.append(expr)

    def __call__(self):
        raise NotImplementedError

    def __str__(self):
        parts = []
        for expr in self.expressions:
            if callable(expr):
                parts.append(repr(expr))
            else:
                parts.append("'%s'" % expr.pattern)
        return "%s(%s)" % (type(self).__name__, ", ".join(parts))

    def __repr__(self):
        return str(self)

    def __eq__(self, other):
        if type(self) is not type(other):
            return False
        return self.expressions == other.expressions


def _satisfied(expr, items):
    if isinstance(expr, BaseLogic):
        return bool(expr(*items))
    if callable(expr):
        return any([expr(item) for item in items])
    return any([expr.search(str(item)) for item in items])


class And(BaseLogic):
    """Logical And"""

    def __call__(self, *items):
        for expr in self.expressions:
            if not _satisfied(expr, items):
                return False
        return True


class Or(BaseLogic):
    """Logical Or"""

    def __call__(self, *items):
        for expr in self.expressions:
            if _satisfied(expr, items):
                return True
        return False


class Not(BaseLogic):
    """Logical Not"""

    def __call__(self, *items):
        for expr in self.expressions:
            if _satisfied(expr, items):
                return False
        return True


def _build(node, string):
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value
    if isinstance(node, ast.Name) and node.id == "string":
        return string
    if (isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and not node.keywords
            and not any(isinstance(a, ast.Starred) for a in node.args)):
        cls = globals().get(node.func.id)
        if not (isinstance(cls, type) and issubclass(cls, BaseLogic)):
            raise NameError("name %r at column %d is not a logic class"
                            % (node.func.id, node.col_offset + 1))
        return cls(*[_build(arg, string) for arg in node.args])
    raise SyntaxError("%s at column %d is not accepted"
                      % (type(node).__name__, getattr(node, "col_offset", 0) + 1))


def logic_str(string):
    """Logic String Conversion"""
    try:
        text = string if isinstance(string, str) else bytes(string).decode("utf-8-sig")
        tree = ast.parse(text.strip(" \t\f\r\n"), mode="eval")
        if not isinstance(tree.body, ast.Call):
            raise SyntaxError("the text is no logic call")
        result = _build(tree.body, string)
        if not isinstance(result, BaseLogic):
            raise TypeError("the text gave no logic object")
    except Exception:
        raise ValueError("Not a properly formatted logic string: %s" % (string,))
    return result


__test__ = {"logic_str (line 177)": logic_str.__doc__}
