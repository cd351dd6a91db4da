"""The type stubs describe the module as it is: the same public names, the
same parameters, the same Report attributes."""

import ast
import inspect
from pathlib import Path

import gainscan

STUB = Path(gainscan.__file__).with_name("__init__.pyi")


def stub_tree():
    return ast.parse(STUB.read_text())


def test_package_ships_its_stubs_and_py_typed():
    assert STUB.is_file()
    assert STUB.with_name("py.typed").is_file()


def test_stub_functions_have_the_parameters_of_the_functions():
    functions = {node.name: node for node in stub_tree().body if isinstance(node, ast.FunctionDef)}
    assert set(functions) == {"analyse", "scan"}
    for name, node in functions.items():
        args = node.args
        stub = [a.arg for a in args.args] + [a.arg for a in args.kwonlyargs]
        real = list(inspect.signature(getattr(gainscan, name)).parameters)
        assert stub == real, name


def test_stub_report_has_the_attributes_of_the_report():
    (report,) = [n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == "Report"]
    stub = {n.name for n in report.body if isinstance(n, ast.FunctionDef)}
    real = {name for name in dir(gainscan.Report) if not name.startswith("_")}
    assert stub == real


def test_every_public_name_is_in_the_stubs():
    declared = set()
    for node in stub_tree().body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            declared.add(node.target.id)
    assert set(gainscan.__all__) <= declared


def test_public_functions_and_report_members_have_docstrings():
    for function in (gainscan.analyse, gainscan.scan):
        assert function.__doc__ and len(function.__doc__) > 100
    for name in dir(gainscan.Report):
        if not name.startswith("_"):
            assert getattr(gainscan.Report, name).__doc__, name
