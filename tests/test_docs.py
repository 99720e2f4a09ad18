"""Runs every example in docs/ so the documentation cannot drift from the code.

Example blocks, by fence:
- `tamsel`: lines `query:`, `input:` (JSON, default null) and either one
  `output:` line per expected result (JSON; `(none)` for no result) or one
  `error:` line ("ExceptionName: message") raised by compile or input.
- `pycon`: interactive sessions, checked with doctest; one namespace per file.
- `python` followed by an `output` block: a whole script, run as a separate
  process; its standard output must equal the block.
- `console`: `$ command` lines run by bash from the checkout's root, each
  followed by its expected output.
"""
import doctest
import json
import math
import os
import re
import subprocess
import sys
import sysconfig
import traceback
from pathlib import Path

import pytest

import tamsel_vonk

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
FENCE = re.compile(r"^```([\w-]*)[^\n]*\n(.*?)^```[ \t]*$", re.M | re.S)


def blocks(name):
    """(kind, body, line number) of every fenced block of docs/<name>."""
    text = (DOCS / name).read_text(encoding="utf-8")
    return [(m.group(1), m.group(2), text.count("\n", 0, m.start()) + 1)
            for m in FENCE.finditer(text)]


def doc_files():
    return sorted(p.name for p in DOCS.glob("*.md"))


# --- tamsel blocks -------------------------------------------------------------

def parse_tamsel(body):
    example = {"input": "null", "outputs": [], "error": None}
    for line in body.splitlines():
        key, sep, value = line.partition(": ")
        assert sep, f"not a 'key: value' line: {line!r}"
        if key == "output":
            if value != "(none)":
                example["outputs"].append(value)
        elif key in ("query", "input", "error"):
            example[key] = value
        else:
            raise AssertionError(f"unknown key {key!r}")
    assert "query" in example, "example without query"
    return example


def tamsel_examples():
    for name in doc_files():
        for kind, body, line in blocks(name):
            if kind == "tamsel":
                yield pytest.param(body, id=f"{name}:{line}")


def same(actual, expected):
    """Equality that also tells 1 from 1.0 and True from 1, and orders members."""
    if type(actual) is not type(expected):
        return False
    if isinstance(actual, float):
        return actual == expected or (math.isnan(actual) and math.isnan(expected))
    if isinstance(actual, list):
        return len(actual) == len(expected) and all(map(same, actual, expected))
    if isinstance(actual, dict):
        return (list(actual) == list(expected)
                and all(same(actual[k], expected[k]) for k in actual))
    return actual == expected


@pytest.mark.parametrize("body", list(tamsel_examples()))
def test_language_example(body):
    example = parse_tamsel(body)
    if example["error"] is not None:
        with pytest.raises(BaseException) as raised:
            list(tamsel_vonk.compile(example["query"]).input(example["input"]))
        assert f"{raised.type.__name__}: {raised.value}" == example["error"]
        return
    results = list(tamsel_vonk.compile(example["query"]).input(example["input"]))
    expected = [json.loads(text) for text in example["outputs"]]
    assert len(results) == len(expected) and all(map(same, results, expected)), results


def builtin_names(array):
    # kBuiltins is built from the NONE rows of the list, kArgBuiltins from the ONE rows.
    source = (ROOT / "src" / "parser" / "builtin_list.h").read_text(encoding="utf-8")
    match = re.search(r"^#define TAMSEL_BUILTINS\(NONE, ONE\)((?:.*\\\n)*.*)$", source, re.M)
    assert match, "TAMSEL_BUILTINS not found"
    row = {"kBuiltins": "NONE", "kArgBuiltins": "ONE"}[array]
    return re.findall(rf'\b{row}\(\w+, "(\w+)"', match.group(1))


@pytest.mark.parametrize("array, form", [("kBuiltins", r"^### {}$"),
                                          ("kArgBuiltins", r"^### {}\(\w+\)$")])
def test_every_builtin_has_a_section_with_an_example(array, form):
    names = builtin_names(array)
    assert len(names) in (37, 14)
    text = (DOCS / "language.md").read_text(encoding="utf-8")
    sections = re.split(r"^(?=### )", text, flags=re.M)
    for name in names:
        heading = re.compile(form.format(re.escape(name)), re.M)
        section = next((s for s in sections if heading.match(s)), None)
        assert section is not None, f"no section for {name}"
        queries = re.findall(r"^query: (.*)$", section, re.M)
        assert any(re.search(rf"\b{name}\b", q) for q in queries), f"no example for {name}"


# --- pycon blocks -----------------------------------------------------------------

class TracebackWithNotes:
    """The traceback module as doctest sees it here: an exception is its line
    and then its notes, as Python 3.11 and later print them. doctest keeps
    only the last entry of format_exception_only(), which there is the last
    note; Python 3.9 and 3.10 leave notes out (unless the exceptiongroup
    backport that pytest brings has taught them)."""

    def __getattr__(self, name):
        return getattr(traceback, name)

    @staticmethod
    def format_exception_only(exc_type, value):
        text = "".join(traceback.format_exception_only(exc_type, value))
        notes = "".join(f"{note}\n" for note in getattr(value, "__notes__", ()))
        if not text.endswith(notes):
            text += notes
        return [text]


@pytest.mark.parametrize("name", [n for n in doc_files()
                                  if any(k == "pycon" for k, _, _ in blocks(n))])
def test_interactive_examples(name, monkeypatch):
    monkeypatch.setattr(doctest, "traceback", TracebackWithNotes())
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    globs = {"__name__": "__docs__"}
    for kind, body, line in blocks(name):
        if kind == "pycon":
            test = parser.get_doctest(body, globs, name, name, line)
            runner.run(test, clear_globs=False)
            globs = test.globs
    result = runner.summarize(verbose=False)
    assert result.attempted > 0 and result.failed == 0


# --- scripts -------------------------------------------------------------------------

def scripts():
    for name in doc_files():
        found = blocks(name)
        for (kind, body, line), after in zip(found, found[1:] + [(None, None, None)]):
            if kind == "python" and after[0] == "output":
                yield pytest.param(body, after[1], id=f"{name}:{line}")


@pytest.mark.parametrize("script, expected", list(scripts()))
def test_script_example(script, expected, tmp_path):
    for module in re.findall(r"^\s*(?:import|from) (\w+)", script, re.M):
        if module not in sys.builtin_module_names and module != "tamsel_vonk":
            pytest.importorskip(module)
    path = tmp_path / "example.py"
    path.write_text(script, encoding="utf-8")
    done = subprocess.run([sys.executable, str(path)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout == expected


# --- console blocks ------------------------------------------------------------------

def console_examples():
    for name in doc_files():
        for kind, body, line in blocks(name):
            if kind != "console":
                continue
            command, output = None, []
            for text in body.splitlines(keepends=True):
                if text.startswith("$ "):
                    if command is not None:
                        yield pytest.param(command, "".join(output), id=f"{name}:{line}")
                    command, output = text[2:].rstrip("\n"), []
                else:
                    output.append(text)
                line += 1
            if command is not None:
                yield pytest.param(command, "".join(output), id=f"{name}:{line}")


@pytest.mark.parametrize("command, expected", list(console_examples()))
def test_console_example(command, expected):
    scripts_dir = sysconfig.get_path("scripts")
    if not (Path(scripts_dir) / "tamsel-vonk").exists():
        pytest.skip("the tamsel-vonk command is not installed with this interpreter")
    env = dict(os.environ, PATH=scripts_dir + os.pathsep + os.environ.get("PATH", ""))
    done = subprocess.run(["bash", "-c", command], cwd=ROOT, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=60)
    assert done.stdout == expected
