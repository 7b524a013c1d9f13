"""Sphinx settings of the reference manual (see CMakeLists.txt beside this file)."""
import ast
import enum
import functools
import importlib.util
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import kestrel  # noqa: E402  (the built package, on PYTHONPATH)

project = "Kestrel"
release = version = kestrel.__version__
extensions = ["sphinx.ext.autodoc", "breathe"]
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_theme_options = {"nosidebar": False}
breathe_default_project = "kestrel"
breathe_domain_by_extension = {"h": "c"}
autodoc_member_order = "bysource"
autodoc_typehints = "signature"


@functools.cache
def stub_signatures(module_name):
    """{qualified name: (arguments, return annotation)} from the stub beside a module, and for a
    package from the stubs inside it too (its compiled classes come from a submodule)."""
    try:
        spec = importlib.util.find_spec(module_name)
    except (ImportError, ValueError):
        return {}
    if spec is None or spec.origin is None:
        return {}
    stubs = [pathlib.Path(spec.origin).parent / (module_name.rpartition(".")[2] + ".pyi")]
    for folder in spec.submodule_search_locations or ():
        stubs += sorted(pathlib.Path(folder).glob("*.pyi"))
    signatures = {}

    def visit(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                visit(node.body, f"{prefix}{node.name}.")
            elif isinstance(node, ast.FunctionDef):
                node.args.args = [a for a in node.args.args if a.arg != "self"]
                arguments = f"({ast.unparse(node.args)})"
                if node.name == "__init__":  # the class's own signature
                    signatures[prefix.rstrip(".")] = (arguments, None)
                else:
                    signatures[prefix + node.name] = (arguments, node.returns and ast.unparse(node.returns))

    for stub in stubs:
        if stub.exists():
            visit(ast.parse(stub.read_text(encoding="utf-8")).body, "")
    return signatures


def signature_from_stub(app, what, name, obj, options, signature, return_annotation):
    if what == "class" and isinstance(obj, type) and issubclass(obj, enum.Enum):
        return "", None  # not the Enum machinery's call signature
    parts = name.split(".")
    for cut in range(len(parts) - 1, 0, -1):
        found = stub_signatures(".".join(parts[:cut])).get(".".join(parts[cut:]))
        if found:
            return found
    return None




# Every public header and every public class, function, method and property of
# both modules must have its text in the manual: a missing one is a warning,
# which fails the build (-W).
ROOT = pathlib.Path(__file__).resolve().parents[1]


def documented_in_manual(app, env):
    from sphinx.util import logging
    import _kestrel

    logger = logging.getLogger(__name__)
    c_api = (ROOT / "docs" / "c_api.rst").read_text(encoding="utf-8")
    for header in sorted((ROOT / "include").glob("*.h")):
        if f".. doxygenfile:: {header.name}" not in c_api:
            logger.warning(f"include/{header.name} is not in c_api.rst (add a '.. doxygenfile:: {header.name}')")
    objects = env.get_domain("py").objects
    names = [("_kestrel", name, getattr(_kestrel, name)) for name in dir(_kestrel) if not name.startswith("_")]
    names += [("kestrel", name, getattr(kestrel, name)) for name in kestrel.__all__ if not name.startswith("_")]
    for module, name, value in names:
        if not (isinstance(value, type) or callable(value)):
            continue
        places = [f"{prefix}.{name}" for prefix in (module, "_kestrel", "kestrel")]
        places.append(f"{getattr(value, '__module__', '')}.{getattr(value, '__qualname__', name)}")
        where = next((place for place in places if place in objects), None)
        if where is None:
            logger.warning(f"{module}.{name} is not in the manual (python.rst)")
            continue
        if isinstance(value, type) and not issubclass(value, enum.Enum):
            for member in vars(value):
                if not member.startswith("_") and f"{where}.{member}" not in objects:
                    logger.warning(f"{where}.{member} has no text in the manual: a docstring, or one in python.rst")


def plain_docstrings(app, what, name, obj, options, lines):
    """Docstrings are plain text: "|velocity|" is an absolute value, not a substitution."""
    lines[:] = [line.replace("|", "\\|") for line in lines]


def setup(app):
    app.connect("autodoc-process-signature", signature_from_stub)
    app.connect("env-check-consistency", documented_in_manual)
    app.connect("autodoc-process-docstring", plain_docstrings)
