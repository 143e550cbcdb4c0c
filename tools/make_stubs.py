"""Writes the type stubs (.pyi) beside every extension module from the live modules.

Run with the built package importable: /usr/bin/python3 tools/make_stubs.py
"""
import dataclasses
import importlib
import inspect
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

MODULES = [
    "silver_kestrel.kestrel_model",
    "silver_kestrel.architectures.heavy_core.heavy_core",
    "silver_kestrel.architectures.heavy_core.fortress_engine",
    "silver_kestrel.architectures.heavy_core.split_engine",
    "silver_kestrel.architectures.lite_core.lite_core",
    "silver_kestrel.architectures.lite_core.fortress_engine",
    "silver_kestrel.architectures.lite_core.split_engine",
    "silver_kestrel.architectures.fortress_core.fortress_core",
    "silver_kestrel.architectures.unified_engine_pkg.unified_engine",
]
# Every class of the package by identity: its dotted module path and name, whichever import road
# named its module first.
CANONICAL = {}
HEADER = "# Type stubs of an extension module, written by tools/make_stubs.py from the live module.\n"


def ours(value):
    return inspect.isclass(value) and id(value) in CANONICAL


def own_names(module):
    """Classes and functions the module defines or takes from the package's other modules."""
    names = []
    for name, value in vars(module).items():
        if name.startswith("__") or not callable(value):
            continue
        if ours(value) or (not inspect.isclass(value) and getattr(value, "__module__", None) == module.__name__):
            names.append(name)
    return names


def reference(cls, module_path, imports):
    """The name of one of the package's classes inside the stub of `module_path`."""
    if id(cls) not in CANONICAL:
        raise KeyError(f"{cls!r} (module {cls.__module__}) is not a class of the package's modules")
    where, name = CANONICAL[id(cls)]
    if where != module_path:
        imports.add(f"from {where} import {name} as {name}")
    return name


def text(annotation, imports):
    if isinstance(annotation, str):
        return annotation
    if inspect.isclass(annotation):
        if annotation.__module__ == "builtins":
            return annotation.__qualname__
        if ours(annotation):
            return reference(annotation, imports.path, imports)
        if annotation.__module__.startswith("torch"):
            return "torch." + annotation.__qualname__ if annotation.__module__ == "torch" else f"{annotation.__module__}.{annotation.__qualname__}"
    rendered = repr(annotation).replace("typing.", "")
    for name in re.findall(r"\b[A-Z]\w*", rendered):
        if name in ("Any", "Callable", "Dict", "List", "Optional", "Tuple", "Union"):
            imports.add(f"from typing import {name}")
    return rendered


def signature_text(fn, imports):
    sig = inspect.signature(fn)
    parts = []
    for p in sig.parameters.values():
        piece = p.name
        if p.annotation is not p.empty:
            piece += ": " + text(p.annotation, imports)
        if p.default is not p.empty:
            piece += (" = " if p.annotation is not p.empty else "=") + repr(p.default)
        parts.append(piece)
    result = "(" + ", ".join(parts) + ")"
    if sig.return_annotation is not sig.empty:
        result += " -> " + text(sig.return_annotation, imports)
    return result


def class_stub(module, cls, imports):
    bases = []
    for base in cls.__bases__:
        if base.__module__ == "torch.nn.modules.module":
            bases.append("torch.nn.Module")
        elif base is object:
            continue
        else:
            bases.append(reference(base, imports.path, imports))
    lines = []
    if dataclasses.is_dataclass(cls):
        imports.add("import dataclasses")
        lines.append("@dataclasses.dataclass")
    lines.append(f"class {cls.__name__}" + (f"({', '.join(bases)})" if bases else "") + ":")
    body = []
    if dataclasses.is_dataclass(cls):
        for f in dataclasses.fields(cls):
            entry = f"    {f.name}: {text(f.type, imports)}"
            if f.default is not dataclasses.MISSING:
                entry += " = " + repr(f.default)
            body.append(entry)
    else:
        for name, value in vars(cls).items():
            if callable(value) and not inspect.isclass(value) and (name == "__init__" or not name.startswith("__")):
                body.append(f"    def {name}{signature_text(value, imports)}: ...")
    return lines + (body or ["    ..."])


class Imports(set):
    def __init__(self, path):
        super().__init__({"import torch"})
        self.path = path


def stub(module, path):
    imports = Imports(path)
    blocks = []
    for name in own_names(module):
        value = getattr(module, name)
        if inspect.isclass(value) and CANONICAL[id(value)] != (path, name):
            if CANONICAL[id(value)][0] == path:
                blocks.append(f"{name} = {CANONICAL[id(value)][1]}")
                continue
            where, canonical = CANONICAL[id(value)]
            imports.add(f"from {where} import {canonical} as {name}")  # "as": a name the stub re-exports
        elif inspect.isclass(value):
            blocks.append("\n".join(class_stub(module, value, imports)))
        else:
            blocks.append(f"def {name}{signature_text(value, imports)}: ...")
    return HEADER + "\n".join(sorted(imports)) + "\n\n\n" + "\n\n\n".join(blocks) + "\n"


def main():
    modules = {name: importlib.import_module(name) for name in MODULES}
    for name, module in modules.items():
        for key, value in vars(module).items():
            if inspect.isclass(value) and value.__module__ in (module.__name__, name) and value.__name__ == key:
                CANONICAL.setdefault(id(value), (name, key))
    for name, module in modules.items():
        path = os.path.join(ROOT, *name.split(".")) + ".pyi"
        with open(path, "w") as f:
            f.write(stub(module, name))
        print(path)
    open(os.path.join(ROOT, "silver_kestrel", "py.typed"), "w").close()


if __name__ == "__main__":
    main()
