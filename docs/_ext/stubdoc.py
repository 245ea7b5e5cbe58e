"""The API reference of the extension module, written from its type stub.

The stub holds the exact signatures and the docstrings, and the tests hold
its docstrings equal to the module's; documenting from it keeps the page
true to both.  `.. stubmodule:: velmaro` with `:stub: PATH` (relative to
the page) parses the stub and emits the Python domain's directives: each
class with its signature from `__new__`, its properties with their types,
its methods with theirs, and a TypedDict's keys as attributes.  A public
member without a docstring is an error, so the page cannot thin out.
"""

from __future__ import annotations

import ast
import inspect
import os
from typing import Any

from docutils import nodes
from docutils.parsers.rst import directives
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles


class StubError(Exception):
    pass


def _arguments(args: ast.arguments, drop_first: bool) -> str:
    """A signature's parameters as written in the stub, without self or cls."""
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    parts = []
    for k, (arg, default) in enumerate(zip(positional, defaults)):
        if drop_first and k == 0:
            continue
        text = arg.arg + (f": {ast.unparse(arg.annotation)}" if arg.annotation else "")
        if default is not None:
            text += f" = {ast.unparse(default)}"
        parts.append(text)
    return ", ".join(parts)


def _doc(node: ast.AST, where: str) -> list[str]:
    text = ast.get_docstring(node, clean=True)  # type: ignore[arg-type]
    if not text:
        raise StubError(f"{where} has no docstring in the stub")
    return inspect.cleandoc(text).splitlines()


def _indented(lines: list[str], depth: int) -> list[str]:
    return [("   " * depth + line) if line else "" for line in lines]


def _is_property(node: ast.FunctionDef) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)


def _class(node: ast.ClassDef, module: str) -> list[str]:
    bases = [ast.unparse(b) for b in node.bases]
    if "TypedDict" in bases:
        # Private by name, but the result type of a public method: its keys are the API.
        out = [f".. py:class:: {node.name}", ""]
        out += _indented([f"A ``TypedDict``: {_summary(node)}", ""], 1)
        for item in node.body:
            if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                out += _indented([f".. py:attribute:: {item.target.id}", f"   :type: {ast.unparse(item.annotation)}",
                                  ""], 1)
        return out
    functions = [item for item in node.body if isinstance(item, ast.FunctionDef)]
    new = next((f for f in functions if f.name == "__new__"), None)
    signature = f"({_arguments(new.args, drop_first=True)})" if new else ""
    out = [f".. py:class:: {node.name}{signature}"]
    if any(isinstance(d, ast.Name) and d.id == "final" for d in node.decorator_list):
        out.append("   :final:")
    out.append("")
    out += _indented(_doc(node, node.name) + [""], 1)
    for item in functions:
        if item.name.startswith("_"):
            continue
        where = f"{node.name}.{item.name}"
        if _is_property(item):
            kind = [f".. py:property:: {item.name}"]
            if item.returns is not None:
                kind.append(f"   :type: {ast.unparse(item.returns)}")
        else:
            returns = f" -> {ast.unparse(item.returns)}" if item.returns is not None else ""
            kind = [f".. py:method:: {item.name}({_arguments(item.args, drop_first=True)}){returns}"]
        out += _indented(kind + [""] + _indented(_doc(item, where), 1) + [""], 1)
    return out


def _summary(node: ast.ClassDef) -> str:
    doc = ast.get_docstring(node)
    return doc.splitlines()[0] if doc else "the keys of a result, each always there."


def render(stub: str, module: str) -> list[str]:
    """The reST of a module's public classes, in the stub's order."""
    with open(stub, encoding="utf-8") as f:
        tree = ast.parse(f.read(), stub)
    public: list[str] | None = None
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets):
            public = list(ast.literal_eval(node.value))
    out = [f".. py:module:: {module}", ""]
    classes = [n for n in tree.body if isinstance(n, ast.ClassDef)]
    named = {c.name for c in classes}
    if public is not None and not set(public) <= named:
        raise StubError(f"__all__ names what the stub does not define: {sorted(set(public) - named)}")
    # The public classes first, then the private types their results use.
    for node in sorted(classes, key=lambda c: c.name.startswith("_")):
        out += _class(node, module) + [""]
    return out


class StubModule(SphinxDirective):
    required_arguments = 1
    option_spec: Any = {"stub": directives.unchanged_required}

    def run(self) -> list[nodes.Node]:
        relative = self.options["stub"]
        _, path = self.env.relfn2path(relative, self.env.docname)
        self.env.note_dependency(path)
        try:
            lines = render(path, self.arguments[0])
        except (OSError, SyntaxError, StubError) as e:
            raise self.error(f"{os.path.relpath(path)}: {e}") from None
        node = nodes.section()
        node.document = self.state.document
        nested_parse_with_titles(self.state, StringList(lines, source=path), node)
        return node.children


def setup(app: Any) -> dict[str, Any]:
    app.add_directive("stubmodule", StubModule)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
