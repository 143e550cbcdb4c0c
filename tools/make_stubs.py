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
HEADER = "# Type stubs of an extension module, written by tools/make_stubs.py from the live module.\n"


def own_names(module):
    """Classes and functions the module defines (its records, modules and functions)."""
    names = []
    for name, value in vars(module).items():
        if name.startswith("__") or not (inspect.isclass(value) or callable(value)):
            continue
        if getattr(value, "__module__", None) == module.__name__ or (
                inspect.isclass(value) and value.__module__.startswith("silver_kestrel")):
            names.append(name)
    return names


def text(annotation, imports):
    if isinstance(annotation, str):
        return annotation
    if inspect.isclass(annotation):
        if annotation.__module__ == "builtins":
            return annotation.__qualname__
        if annotation.__module__.startswith("silver_kestrel"):
            imports.add(f"from {annotation.__module__} import {annotation.__qualname__}")
            return annotation.__qualname__
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
            if base.__module__ != module.__name__:
                imports.add(f"from {base.__module__} import {base.__qualname__}")
            bases.append(base.__qualname__)
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


def stub(module):
    imports = {"import torch"}
    blocks = []
    for name in own_names(module):
        value = getattr(module, name)
        if inspect.isclass(value):
            if value.__module__ != module.__name__:
                imports.add(f"from {value.__module__} import {value.__qualname__} as {name}"
                            if value.__qualname__ != name else f"from {value.__module__} import {name}")
                continue
            blocks.append("\n".join(class_stub(module, value, imports)))
        else:
            blocks.append(f"def {name}{signature_text(value, imports)}: ...")
    imports = {i for i in imports if not i.startswith(f"from {module.__name__} import ")}
    return HEADER + "\n".join(sorted(imports)) + "\n\n\n" + "\n\n\n".join(blocks) + "\n"


def main():
    for name in MODULES:
        module = importlib.import_module(name)
        path = os.path.join(ROOT, *name.split(".")) + ".pyi"
        with open(path, "w") as f:
            f.write(stub(module))
        print(path)
    open(os.path.join(ROOT, "silver_kestrel", "py.typed"), "w").close()


if __name__ == "__main__":
    main()
