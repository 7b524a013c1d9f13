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


def setup(app):
    app.connect("autodoc-process-signature", signature_from_stub)
