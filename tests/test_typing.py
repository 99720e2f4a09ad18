"""The type stub describes the module as it is, and type checkers use it."""
import ast
import doctest
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

import tamsel_vonk
from test_docs import blocks, doc_files

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
    assert set(top) == set(tamsel_vonk.__all__) | {"PanicException", "TamselStream",
                                                   "TamselTextError", "TamselTable",
                                                   "ArrowSchemaExporter", "ArrowStreamExporter",
                                                   "ArrowArrayExporter"}
    assert stub_parameters(top["compile"]) == runtime_parameters(tamsel_vonk.compile)
    methods = {node.name: node for node in top["TamselProgram"].body
               if isinstance(node, ast.FunctionDef) and not node.name.startswith("__")}
    assert set(methods) == {"input", "first", "input_bytes", "first_bytes", "stream", "batch",
                            "table"}
    for name, node in methods.items():
        runtime = runtime_parameters(getattr(tamsel_vonk.TamselProgram, name))
        assert stub_parameters(node)[1:] == runtime, name
    # Every attribute the stub gives the exceptions, every one the module
    # raises has: of a text of a batch, of a stream, and of one call.
    program = tamsel_vonk.compile(".a % 0")
    raised = [*program.batch(["x", '{"a": 1}'], errors="skip"),
              *program.stream('x {"a": 1}', per_text=True, errors="skip")]
    try:
        program.first('{"a": 1}')
    except tamsel_vonk.PanicException as fault:
        raised.append(fault)
    for name in ("PanicException", "TamselTextError"):
        cls = getattr(tamsel_vonk, name)
        bases = [ast.unparse(b) for b in top[name].bases]
        assert bases == [base.__name__ for base in cls.__bases__], name
        attributes = [node.target.id for node in top[name].body if isinstance(node, ast.AnnAssign)]
        assert attributes == ["index", "offset", "line", "message"], name
        instances = [error for error in raised if type(error) is cls]
        assert len(instances) >= 2, name
        assert all(hasattr(error, attribute) for error in instances for attribute in attributes)


def mypy(tmp_path, *paths, strict=True):
    """mypy's error lines over `paths`, against the installed stub."""
    options = ["--strict"] if strict else ["--ignore-missing-imports"]
    done = subprocess.run(
        [sys.executable, "-m", "mypy", *options, "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), *map(str, paths)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert done.returncode in (0, 1), done.stdout + done.stderr
    return done.stdout.splitlines()


MISUSE = '''\
import tamsel_vonk
tamsel_vonk.compile(b".")
tamsel_vonk.compile(".").input(json=".")
count: int = tamsel_vonk.compile(".").input("1")
tamsel_vonk.compile(".").first("1", as_json=True)
tamsel_vonk.compile(".").input(b"1")
'''


def test_mypy_checks_code_against_the_installed_stub(tmp_path):
    pytest.importorskip("mypy")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE, encoding="utf-8")
    lines = mypy(tmp_path, ROOT / "tests" / "typing" / "example.py",
                 ROOT / "src" / "beside_module" / "tamsel_vonk_cli.py",
                 ROOT / "src" / "beside_module" / "tamsel_vonk_pool.py", misuse)
    errors = [line.split(": error: ")[1] for line in lines if ": error: " in line]
    assert [line for line in lines if "misuse.py" not in line] == []
    assert errors == [
        'Argument 1 to "compile" has incompatible type "bytes"; expected "str"  [arg-type]',
        'Unexpected keyword argument "json" for "input" of "TamselProgram"  [call-arg]',
        'Incompatible types in assignment (expression has type "TamselVonkIter", '
        'variable has type "int")  [assignment]',
        'Unexpected keyword argument "as_json" for "first" of "TamselProgram"  [call-arg]',
        'Argument 1 to "input" of "TamselProgram" has incompatible type "bytes"; '
        'expected "str"  [arg-type]',
    ], "\n".join(lines)


def docs_as_modules(folder):
    """Each page's interactive session as one module (its examples share a
    namespace, as when they run) and each of its scripts as another, in
    `folder`. Calls that the page shows failing with TypeError are left out:
    a type checker is right to refuse them."""
    for name in doc_files():
        session = []
        found = blocks(name)
        for (kind, body, line), after in zip(found, found[1:] + [(None, None, None)]):
            if kind == "pycon":
                session += [example.source for example in doctest.DocTestParser().get_examples(body)
                            if not (example.exc_msg or "").startswith("TypeError")]
            elif kind == "python" and after[0] == "output":
                (folder / f"{Path(name).stem}_line{line}.py").write_text(body, encoding="utf-8")
        if session:
            (folder / f"{Path(name).stem}_session.py").write_text("".join(session), encoding="utf-8")


def test_mypy_accepts_every_example_in_the_docs(tmp_path):
    pytest.importorskip("mypy")
    folder = tmp_path / "docs"
    folder.mkdir()
    docs_as_modules(folder)
    assert any(folder.iterdir())
    assert mypy(tmp_path, folder, strict=False) == []
