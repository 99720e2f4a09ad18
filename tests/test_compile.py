"""compile(): which queries are accepted, and the exact message of each rejection."""
import pytest

import tamsel_vonk
from tamsel_vonk import compile


def syntax_error(remaining, code="Digit", failure=False):
    kind = "Failure" if failure else "Error"
    return f'Invalid query syntax: Parsing {kind}: Error {{ input: "{remaining}", code: {code} }}'


ACCEPTED = [
    ".",
    ". ",
    ".a | .b, .c",
    ".a | .b , .c",
    "1 + 2 * 3",
    "1 - 2 - 3",
    ".a-1",
    ".[1:]",
    ".[:2]",
    ".[:]",
    ".[-1]",
    ".[2147483647]",
    ".[2147483648:]",
    ".a.[0]",
    "..",
    ".[]",
    "{a: .x}",
    "{a: .x, b-c: 1}",
    "{a: | .x}",
    "select(.a == 1 and .b)",
    "select(.a > 1 and .b or not .c)",
    "select((.a or .b) and .c)",
    "select(.a == 1 | not)",
    "select(.a == .b | not)",
    "select(.a == .b + 1)",
    "select(.a).b",
    "keys.[0]",
    "length-1",
    "flatten",
    "flatten(1)",
    "flatten(1.5)",
    "limit ( 2 )",
    'has("a")',
    "has(null)",
    '"a\\u00e9b"',
    '"\\ud83d\\ude00"',
    "-5",
    "9223372036854775807",
    "true",
    "not",
    ".a | keys_unsorted | first",
    # Trailing Unicode white space of any kind is accepted.
    ". \u00a0\u3000\u2028\x0b\x0c",
]


@pytest.mark.parametrize("query", ACCEPTED)
def test_accepted(query):
    assert isinstance(compile(query), tamsel_vonk.TamselProgram)


REJECTED = [
    ("", syntax_error("")),
    ("foo", syntax_error("foo")),
    ("-foo", syntax_error("foo")),
    (" .", syntax_error(" .")),
    ("1 +", syntax_error("")),
    ("1 + foo", syntax_error("foo")),
    ("select(.a ==)", syntax_error("select(.a ==)")),
    ("select(notx)", syntax_error("select(notx)")),
    ("99999999999999999999", syntax_error("99999999999999999999", "MapRes")),
    ("-99999999999999999999", syntax_error("-99999999999999999999", "MapRes")),
    ("9223372036854775808", syntax_error("9223372036854775808", "MapRes")),
    ("{b: }", syntax_error("{b: }")),
    ("{}", syntax_error("{}")),
    ("(.a)", syntax_error("(.a)")),
    ("lengthy", syntax_error("lengthy")),
    ("keys_x", syntax_error("keys_x")),
    ("has", syntax_error("has")),
    ("limit(.n)", syntax_error("limit(.n)")),
    ('"abc', syntax_error('\\"abc')),
    ('has("\\q")', syntax_error('\\\\q\\")', "Char", failure=True)),
    ('"\\b"', syntax_error('\\\\b\\"', "Char", failure=True)),
    ('"\\ud83d"', syntax_error('\\\\ud83d\\"', "Char", failure=True)),
    ('{a: "\\x"}', syntax_error('\\\\x\\"}', "Char", failure=True)),
    # How the remaining text is quoted.
    ("foo\nbar\t\r", syntax_error("foo\\nbar\\t\\r")),
    ("é'", syntax_error("é'")),
    ("\u0301x", syntax_error("\\u{301}x")),
    ("\u200b", syntax_error("\\u{200b}")),
    ("x\x00", syntax_error("x\\0")),
    ("x\x7f", syntax_error("x\\u{7f}")),
    ("\u00a0.", syntax_error("\\u{a0}.")),
    # Texts the parser stops before.
    (".a |", "Extra chars"),
    (".a,", "Extra chars"),
    (".a | 1 + foo", "Extra chars"),
    (".a{b: }", "Extra chars"),
    (".a[0]", "Extra chars"),
    (".a .b", "Extra chars"),
    ("1.a", "Extra chars"),
    ("1.", "Extra chars"),
    (".[ 1]", "Extra chars"),
    (".[2147483648]", "Extra chars"),
    (".a == 1", "Extra chars"),
    ("length(1)", "Extra chars"),
    ("flatten(.a)", "Extra chars"),
    ("select(.a == 1 + 2)", syntax_error("select(.a == 1 + 2)")),
]


@pytest.mark.parametrize("query, message", REJECTED)
def test_rejected_with_exact_message(query, message):
    with pytest.raises(ValueError) as info:
        compile(query)
    assert str(info.value) == message


@pytest.mark.parametrize("opening, closing", [("select(", ")"), ("{a: ", "}"), ("select((", "))")])
def test_deep_nesting_is_refused_cleanly(opening, closing):
    query = opening * 100_000 + "." + closing * 100_000
    with pytest.raises(ValueError, match="nested deeper than"):
        compile(query)


@pytest.mark.parametrize("query", ["1" + " + 1" * 100_000, "." + " | ." * 100_000 , ".a" * 100_000])
def test_long_flat_queries(query):
    # Long chains either compile or fail cleanly; none may exhaust the stack.
    try:
        compile(query)
    except ValueError as error:
        assert "nested deeper than" in str(error)


def test_moderate_nesting_compiles():
    compile("select(" * 100 + "." + ")" * 100)
    compile("{a: " * 100 + "." + "}" * 100)
