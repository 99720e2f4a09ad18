"""The type stub describes the module as it is, and type checkers use it."""
import ast
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

import tamsel_vonk

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "beside_module" / "tamsel_vonk.pyi"


def stub_parameters(node):
    return [a.arg for a in node.args.posonlyargs + node.args.args + node.args.kwonlyargs]


def runtime_parameters(function):
    # Methods of the extension types carry "($self, json_text)"; drop the self.
    return [p for p in inspect.signature(function).parameters if p != "self"]


def test_stub_names_and_parameters_match_the_module():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    top = {node.name: node for node in tree.body
           if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    assert set(top) == set(tamsel_vonk.__all__) | {"PanicException", "TamselStream"}
    assert stub_parameters(top["compile"]) == runtime_parameters(tamsel_vonk.compile)
    methods = {node.name: node for node in top["TamselProgram"].body
               if isinstance(node, ast.FunctionDef) and not node.name.startswith("__")}
    assert set(methods) == {"input", "first", "input_bytes", "first_bytes", "stream", "batch"}
    for name, node in methods.items():
        runtime = runtime_parameters(getattr(tamsel_vonk.TamselProgram, name))
        assert stub_parameters(node)[1:] == runtime, name
    bases = [ast.unparse(b) for b in top["PanicException"].bases]
    assert bases == [base.__name__ for base in tamsel_vonk.PanicException.__bases__]


MISUSE = '''\
import tamsel_vonk
tamsel_vonk.compile(b".")
tamsel_vonk.compile(".").input(json=".")
count: int = tamsel_vonk.compile(".").input("1")
'''


def test_mypy_checks_code_against_the_installed_stub(tmp_path):
    pytest.importorskip("mypy")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE, encoding="utf-8")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), str(ROOT / "tests" / "typing" / "example.py"),
         str(ROOT / "src" / "beside_module" / "tamsel_vonk_cli.py"), str(ROOT / "src" / "beside_module" / "tamsel_vonk_pool.py"),
         str(misuse)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)
    errors = [line.split(": error: ")[1] for line in done.stdout.splitlines()
              if ": error: " in line]
    assert [line for line in done.stdout.splitlines() if "misuse.py" not in line] == []
    assert errors == [
        'Argument 1 to "compile" has incompatible type "bytes"; expected "str"  [arg-type]',
        'Unexpected keyword argument "json" for "input" of "TamselProgram"  [call-arg]',
        'Incompatible types in assignment (expression has type "TamselVonkIter", '
        'variable has type "int")  [assignment]',
    ], done.stdout + done.stderr
