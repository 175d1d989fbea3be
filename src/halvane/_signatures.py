"""Signatures of the package's C++ functions for inspect.signature(), help() and stubgen.

A nanobind function describes itself only in ``__nb_signature__``, which inspect
does not read. ``sign(owner, names)`` puts in place of each named function a
plain Python function that passes every call on to it unchanged (so the C++
function still parses and refuses the arguments) and carries the signature its
binding declares, its docstring, name and module.
"""

import ast
import inspect
import re

__all__ = ["sign"]

_P = inspect.Parameter


class _Annotation(str):
    """A type as the binding writes it; help() shows it without quotes, stubgen as is."""

    __slots__ = ()

    def __repr__(self):
        return str(self)


def _annotation(node):
    return inspect.Parameter.empty if node is None else _Annotation(ast.unparse(node))


def _signature(fn):
    """fn's signature, parsed from the text its binding declares."""
    ((text, _doc, defaults),) = fn.__nb_signature__
    # The defaults of a written signature are literals in it; nanobind puts
    # \=N for the text of default N given with nb::arg().sig() and \N for
    # default N itself, a value of `defaults`.
    text = text.splitlines()[-1]
    text = re.sub(r"\\=(\d+)", lambda m: defaults[int(m[1])], text)
    text = re.sub(r"\\(\d+)", r"__default_\1", text)
    text = re.sub(r"^def \(", "def _(", text)  # a member made without a name
    node = ast.parse(text + ": ...").body[0]

    def default(expr):
        if expr is None:
            return _P.empty
        if isinstance(expr, ast.Name) and expr.id.startswith("__default_"):
            return defaults[int(expr.id[len("__default_"):])]
        return ast.literal_eval(expr)

    a = node.args
    positional = a.posonlyargs + a.args
    pos_defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    params = [
        _P(p.arg, _P.POSITIONAL_ONLY if i < len(a.posonlyargs) else _P.POSITIONAL_OR_KEYWORD,
               default=default(d), annotation=_annotation(p.annotation))
        for i, (p, d) in enumerate(zip(positional, pos_defaults))
    ]
    if a.vararg:
        params.append(_P(a.vararg.arg, _P.VAR_POSITIONAL, annotation=_annotation(a.vararg.annotation)))
    params += [_P(p.arg, _P.KEYWORD_ONLY, default=default(d), annotation=_annotation(p.annotation))
               for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        params.append(_P(a.kwarg.arg, _P.VAR_KEYWORD, annotation=_annotation(a.kwarg.annotation)))
    return inspect.Signature(params, return_annotation=_annotation(node.returns))


def _signed(fn, module, qualname):
    name = qualname.rpartition(".")[2]

    def call(*args, **kwargs):
        return fn(*args, **kwargs)

    # The traceback line of a call names the function called, not this one.
    call.__code__ = call.__code__.replace(co_name=name, co_qualname=qualname)
    call.__name__, call.__qualname__, call.__module__ = name, qualname, module
    call.__doc__ = fn.__nb_signature__[0][1]
    call.__signature__ = _signature(fn)
    call.__wrapped__ = fn
    return call


def sign(owner, names):
    """Signs the functions `names` of `owner`, a module or a class (class methods too)."""
    is_class = isinstance(owner, type)
    module = owner.__module__ if is_class else owner.__name__
    for name in names:
        value = owner.__dict__[name]
        qualname = f"{owner.__qualname__}.{name}" if is_class else name
        if isinstance(value, classmethod):
            setattr(owner, name, classmethod(_signed(value.__func__, module, qualname)))
        else:
            setattr(owner, name, _signed(value, module, qualname))
