"""Atheris harnesses for the Python surface of tamsel_vonk.

    python3 tests/fuzz/fuzz_module.py compile|input|pairs [libFuzzer options] [corpus dirs]

- compile: random text as a query.
- input:   random text as a document, through a few fixed queries.
- pairs:   a valid query drawn from a small grammar, run over a random
           document also drawn from the input bytes.

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


def fuzz_compile(data):
    text = atheris.FuzzedDataProvider(data).ConsumeUnicodeNoSurrogates(len(data))
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


# A small grammar of valid queries. Every production is well-formed, so what
# the fuzzer explores is evaluation, not the parser's error paths.
KEYS = ["a", "b", "c", "k00", "x y", "é", ""]
STRINGS = ["", "a", "a,b", "\u00e9", "\U0001F600", "\\n", "\\u0000"]
NOARG = ["length", "keys", "keys_unsorted", "values", "type", "reverse", "sort", "flatten",
         "add", "min", "max", "unique", "first", "last", "not", "empty", "tostring",
         "tonumber", "to_entries", "from_entries", "ascii_downcase", "ascii_upcase", "tojson",
         "fromjson", "explode", "implode", "floor", "ceil", "round", "sqrt", "fabs", "nan",
         "infinite", "isinfinite", "isnan", "isnormal", "recurse"]
WITHARG = ["limit", "has", "startswith", "endswith", "contains", "inside", "split", "join",
           "ltrimstr", "rtrimstr", "flatten", "index", "rindex", "indices"]


class QueryGen:
    def __init__(self, fdp):
        self.fdp = fdp

    def pick(self, items):
        return items[self.fdp.ConsumeIntInRange(0, len(items) - 1)]

    def literal(self):
        kind = self.fdp.ConsumeIntInRange(0, 5)
        if kind == 0:
            return str(self.fdp.ConsumeIntInRange(-(2**63), 2**63 - 1))
        if kind == 1:
            return repr(self.fdp.ConsumeIntInRange(-1000, 1000) / 8)
        if kind == 2:
            return '"' + self.pick(STRINGS) + '"'
        return self.pick(["null", "true", "false", "0", "-1"])

    def path(self):
        kind = self.fdp.ConsumeIntInRange(0, 6)
        if kind == 0:
            return "." + self.pick(["a", "b", "c", "k00"])
        if kind == 1:
            return "." + self.pick(["a", "b"]) + "." + self.pick(["a", "b", "c"])
        if kind == 2:
            return f".[{self.fdp.ConsumeIntInRange(-4, 4)}]"
        if kind == 3:
            return ".[]"
        if kind == 4:
            a, b = self.fdp.ConsumeIntInRange(-3, 3), self.fdp.ConsumeIntInRange(-3, 3)
            return self.pick([f".[{a}:{b}]", f".[{a}:]", f".[:{b}]"])
        if kind == 5:
            return ".."
        return "."

    def condition(self, depth):
        kind = self.fdp.ConsumeIntInRange(0, 4 if depth > 0 else 1)
        if kind == 0:
            op = self.pick(["==", "!=", "<", "<=", ">", ">="])
            return f"{self.term(depth - 1)} {op} {self.literal()}"
        if kind == 1:
            return self.term(depth - 1)
        if kind == 2:
            return f"({self.condition(depth - 1)}) and ({self.condition(depth - 1)})"
        if kind == 3:
            return f"({self.condition(depth - 1)}) or ({self.condition(depth - 1)})"
        return f"not ({self.condition(depth - 1)})"

    def term(self, depth):
        kind = self.fdp.ConsumeIntInRange(0, 7 if depth > 0 else 2)
        if kind == 0:
            return self.path()
        if kind == 1:
            return self.literal()
        if kind == 2:
            return self.pick(NOARG)
        if kind == 3:
            name = self.pick(WITHARG)
            if name in ("flatten", "limit"):
                return f"{name}({self.fdp.ConsumeIntInRange(-1, 3)})"
            return f"{name}({self.literal()})"
        if kind == 4:
            # Terms written side by side form a chain.
            head = self.pick(["keys", "to_entries", "sort", ".[]", ".a", ".[0]", "tojson",
                              f"select({self.condition(depth - 1)})"])
            # A name needs a word boundary after it, so tails start with ".".
            tail = self.pick([".[0]", ".a", ".[]", ".[1:]", ".b.c", ".[-1]", ".."])
            return head + tail
        if kind == 5:
            entries = ", ".join(
                f"{self.pick(KEYS[:4])}: {self.term(depth - 1)}"
                for _ in range(self.fdp.ConsumeIntInRange(1, 3)))
            return "{" + entries + "}"
        if kind == 6:
            return f"select({self.condition(depth - 1)})"
        if kind == 7:
            op = self.pick(["+", "-", "*", "/", "%"])
            return f"{self.term(depth - 1)} {op} {self.term(depth - 1)}"

    def query(self, depth):
        # Commas only at the top of a stage: object values and comparison
        # operands do not take them.
        stages = [", ".join(self.term(depth) for _ in range(self.fdp.ConsumeIntInRange(1, 2)))
                  for _ in range(self.fdp.ConsumeIntInRange(1, 3))]
        return " | ".join(stages)


def json_document(fdp, depth):
    kind = fdp.ConsumeIntInRange(0, 7 if depth > 0 else 5)
    if kind == 0:
        return "null"
    if kind == 1:
        return fdp.PickValueInList(["true", "false"])
    if kind == 2:
        return str(fdp.ConsumeIntInRange(-(2**63), 2**64 - 1))
    if kind == 3:
        return repr(fdp.ConsumeRegularFloat())
    if kind == 4:
        return fdp.PickValueInList(['"a"', '"a,b"', '""', '"\\u00e9\\ud83d\\ude00"', '"\\u0000"',
                                    '"k00"', '"1.5"', '"[1]"'])
    if kind == 5:
        return str(fdp.ConsumeIntInRange(-3, 3))
    if kind == 6:
        items = [json_document(fdp, depth - 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
        return "[" + ",".join(items) + "]"
    count = fdp.ConsumeIntInRange(0, 4) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(30, 40)
    members = [f'"{KEYS[fdp.ConsumeIntInRange(0, 3)] if count < 8 else f"k{i:02}"}":'
               f"{json_document(fdp, min(depth - 1, 0 if count >= 8 else depth - 1))}"
               for i in range(count)]
    return "{" + ",".join(members) + "}"


def fuzz_pairs(data):
    fdp = atheris.FuzzedDataProvider(data)
    query = QueryGen(fdp).query(3)
    document = json_document(fdp, 3)
    try:
        program = tamsel_vonk.compile(query)
    except ValueError as error:
        raise AssertionError(f"grammar query does not compile: {query!r}: {error}") from None
    check_program(program, document)


def main():
    targets = {"compile": fuzz_compile, "input": fuzz_input, "pairs": fuzz_pairs}
    if len(sys.argv) < 2 or sys.argv[1] not in targets:
        sys.exit(f"usage: {sys.argv[0]} {'|'.join(targets)} [libFuzzer options] [corpus dirs]")
    target = targets[sys.argv.pop(1)]
    atheris.Setup(sys.argv, target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
