"""The committed type stubs describe every public name of the module (`make stubs` after a binding change)."""
import ast
import os

STUB = os.path.join(os.path.dirname(__file__), "..", "..", "python", "stubs", "_quillmark_rec_server_extension.pyi")


def test_stubs_name_every_class_member_and_function_of_the_module(ext):
    tree = ast.parse(open(STUB).read())
    top = {node.name: node for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    missing = []
    for name in dir(ext):
        value = getattr(ext, name)
        if name.startswith("_") or not (isinstance(value, type) or callable(value)):
            continue
        if isinstance(value, type) and name in top:
            stubbed = {item.name for item in top[name].body if isinstance(item, (ast.FunctionDef, ast.ClassDef))}
            stubbed |= {target.id for item in top[name].body if isinstance(item, ast.AnnAssign)
                        for target in [item.target] if isinstance(target, ast.Name)}
            missing += [f"{name}.{member}" for member in vars(value) if not member.startswith("_")
                        and member not in stubbed]
        elif name not in top and not isinstance(value, (ext.ScanOperation, ext.Status, ext.ExtractorType)):
            missing.append(name)
    assert missing == [], f"run `make stubs`: {missing} are not in the stubs"


def test_stubs_carry_the_docstrings_of_public_names():
    tree = ast.parse(open(STUB).read())
    undocumented = []
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not ast.get_docstring(node):
            undocumented.append(node.name)
        if isinstance(node, ast.ClassDef):
            undocumented += [f"{node.name}.{item.name}" for item in node.body if isinstance(item, ast.FunctionDef)
                             and not item.name.startswith("_") and not ast.get_docstring(item)
                             and item.name not in ("name", "value")]
    assert undocumented == [], f"run `make stubs`: {undocumented} have no docstring"
