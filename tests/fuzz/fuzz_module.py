"""Atheris harnesses for the Python surface of tamsel_vonk.

    python3 tests/fuzz/fuzz_module.py compile|input [libFuzzer options] [corpus dirs]

- compile: random text as a query.
- input:   random text as a document, through a few fixed queries.

Valid queries from a small grammar over generated documents are fuzzed in C++
(pairs_fuzzer.cpp), where the evaluator's coverage guides the fuzzer.

The only exceptions a call may raise are ValueError, TypeError,
UnicodeEncodeError and PanicException; anything else, a crash, a sanitizer
report or a hang (libFuzzer's -timeout) is a finding. Beyond that, every run
checks that first() agrees with input() and that a second run gives the same
results.
"""
import sys

import atheris

with atheris.instrument_imports():
    import tamsel_vonk

from tamsel_vonk import PanicException

EXPECTED = (ValueError, TypeError, UnicodeEncodeError, PanicException)

FIXED_QUERIES = [tamsel_vonk.compile(q) for q in (
    ".", "..", ".[]", ".a", "tojson", "keys", "to_entries",
    "tostring | fromjson", ".[] | length", "sort", "unique", "add", "flatten",
)]


def check_program(program, document):
    """Runs `program` over `document` twice, and first() once, and compares."""
    try:
        results = list(program.input(document))
    except EXPECTED:
        return
    again = list(program.input(document))
    if repr(again) != repr(results):
        raise AssertionError(f"two runs differ: {results!r} != {again!r}")
    first = program.first(document)
    expected_first = results[0] if results else None
    if repr(first) != repr(expected_first):
        raise AssertionError(f"first() {first!r} != input()[0] {expected_first!r}")


# Forms that multiply the number of results (or, `+`, the size of a value):
# a handful chained make millions of outputs, slow units that find nothing.
# The same filter as the C++ query fuzzer's.
GENERATORS = ("..", ",", "[]", "recurse", "{", "+")


def fuzz_compile(data):
    text = atheris.FuzzedDataProvider(data).ConsumeUnicodeNoSurrogates(len(data))
    if sum(text.count(g) for g in GENERATORS) > 5:
        return
    try:
        program = tamsel_vonk.compile(text)
    except EXPECTED:
        return
    check_program(program, '{"a":[1,"x",{"b":null}],"c":-2.5,"d":"s"}')
    check_program(program, '[3,1,[2],{"k":"v"},"t",true,null]')


def fuzz_input(data):
    text = atheris.FuzzedDataProvider(data).ConsumeUnicode(len(data))
    for program in FIXED_QUERIES:
        check_program(program, text)


def main():
    targets = {"compile": fuzz_compile, "input": fuzz_input}
    if len(sys.argv) < 2 or sys.argv[1] not in targets:
        sys.exit(f"usage: {sys.argv[0]} {'|'.join(targets)} [libFuzzer options] [corpus dirs]")
    target = targets[sys.argv.pop(1)]
    atheris.Setup(sys.argv, target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
