"""Document parts read in place, and held by built values, act as built values do.

Each query runs twice over the same text: straight over the document, and
after `tojson | fromjson`, which rebuilds the document as a value of its own.
The queries start with steps that place document parts inside built values
(to_entries, object construction, sort, values, ...), so every builtin is
also tried on values that mix the two.
"""
import json

import pytest

from tamsel_vonk import compile
from value_match import assert_same

WIDE = {f"k{i:02d}": i for i in range(40)}  # above the size of a list-form object

DOCUMENT = json.dumps({
    "n": [3, -1, 2.5, 18446744073709551615, -9223372036854775808, 0.125, 3],
    "s": ["b", "a", "é€", "", "a", "ab"],
    "mixed": [None, True, False, 1, "x", [2, [3, [4]]], {"b": 1, "a": [1, 2]}, [], {}],
    "o": {"b": {"y": [1, 2]}, "a": "text", "c": None, "d": [{"e": 1}]},
    "entries": [{"key": "p", "value": [1]}, {"name": "q", "value": {"r": 2}},
                {"key": 7}, {"k": "x"}, 3],
    "wide": WIDE,
    "text": "a,b,,c",
})
# A repeated key: kept by keys and to_entries, once in a dict.
DUPLICATES = '{"a": [1], "b": 2, "a": {"c": 3}}'

QUERIES = [
    # Whole parts, through the builtins that only read.
    "length", "type", "keys", "keys_unsorted", "values", "tojson", "tostring",
    "to_entries", "add", "min", "max", "first", "last", "sort", "unique", "reverse",
    "flatten", "flatten(1)", "limit(2)", "has(\"o\")", "has(\"zz\")",
    ".. | contains(\"a\")", ".. | inside(\"text\")", ".. | length",
    # Parts of the document inside values a query builds.
    "to_entries | from_entries", "to_entries | sort", "to_entries | .[] | .value | length",
    "to_entries | .. | tojson", "to_entries | reverse",
    "{a: .o, b: .n} | tojson", "{a: .o, b: .n} | .. | type", "{a: .o} | .a | keys",
    "{a: .o, b: .s} | to_entries | from_entries | .b | sort",
    "{a: .n} + {b: .o} | tojson", "{x: .mixed} | .x | sort | tojson",
    ".n | sort | first", "{a: .n} | .a - .n | tojson", "{a: .mixed} | .a - .mixed.[5] | length",
    ".mixed | sort | tojson", ".mixed | unique", ".mixed | min", ".mixed | max",
    ".mixed | flatten", ".mixed | flatten(1) | length", ".mixed | reverse | first",
    ".mixed | .[5] | add", ".mixed | indices(1)", ".mixed | index(\"x\")",
    ".mixed | rindex(null)", ".mixed | .[] | contains(1)", ".s | join(\"-\")",
    ".s | sort", ".s | unique", ".s | add", ".s | min", ".s | max", ".s | .[] | ascii_upcase",
    ".s | .[] | explode | implode", ".s | .[] | startswith(\"a\")", ".s | .[] | endswith(\"b\")",
    ".s | .[] | ltrimstr(\"a\")", ".s | .[] | rtrimstr(\"b\")", ".text | split(\",\")",
    ".text | indices(\",\")", ".text | .[1:3]", ".s | .[1:3]", ".n | .[2:] | sort",
    ".n | .[] | floor", ".n | .[] | sqrt", ".n | .[] | fabs", ".n | .[] | isnan",
    ".n | .[] | isinfinite", ".n | .[] | isnormal", ".n | .[] | tostring", ".n | .[] | tonumber",
    ".n | unique", ".n | min", ".n | max", ".n | add",
    ".o | to_entries | .[] | select(.value == \"text\") | .key",
    ".o | values | tojson", ".o | .. | tojson", ".o | {k: keys, v: values} | tojson",
    ".o | .b + {z: 1} | tojson", ".o.d + .mixed | length", ".o.d - .mixed | tojson",
    ".entries | from_entries", ".entries | .[] | has(\"key\")",
    ".wide | keys | length", ".wide | to_entries | from_entries | length", ".wide | add",
    ".wide | values | max", ".wide | has(\"k39\")", "{w: .wide} | .w | tojson | length",
    ".o | select(.a == \"text\") | .b", ".mixed | .[] | select(. != 1) | type",
    "{a: .o.b, b: .o.b} | .. | select(type == \"array\") | length",
]


def results(query, text):
    return list(compile(query).input(text))


@pytest.mark.parametrize("query", QUERIES)
@pytest.mark.parametrize("text", [DOCUMENT, DUPLICATES], ids=["document", "duplicates"])
def test_in_place_matches_rebuilt(query, text):
    assert_same(results(query, text), results("tojson | fromjson | " + query, text))


def test_descent_over_a_built_value_reads_the_document_in_place():
    # Copying each level for every `..` output made this exhaust the memory.
    deep = "[" * 1024 + "]" * 1024
    assert results("{a: .} | .. | .. | empty", deep) == []
    assert len(results("{a: .} | .. | .. | select(length == 0)", deep)) == 1025
    # A value the query built, 600 levels deep: `..` shares its levels.
    assert results("{a: .} | " * 600 + ".. | .. | empty", "1") == []
    assert results("{a: .} | {a: .} | .. | .. | .a | type", "[1]") == ["object", "array", "array"]


# Numbers that compare equal (1 and 1.0, 0 and -0.0, two integers with the
# same double) keep their order whether the array holds only numbers or
# numbers and a string, which sort compares one pair at a time.
TIES = '{"n": [1, 1.0, -0.0, 0, 2.5, 18446744073709551615, 18446744073709551614, -1, 0.5, 1],' \
       ' "t": ["x"]}'


@pytest.mark.parametrize("numbers, mixed", [
    (".n | sort", ".n + .t | sort | .[:-1]"),
    (".n | unique", ".n + .t | unique | .[:-1]"),
    ("{a: .n} | .a | sort", "{a: .n, t: .t} | .a + .t | sort | .[:-1]"),
])
def test_sorting_numbers_alone_keeps_the_order_of_ties(numbers, mixed):
    assert_same(results(numbers, TIES), results(mixed, TIES))


def test_sorting_numbers_keeps_ties_in_text_order():
    assert_same(results(".n | sort", TIES),
                [[-1, -0.0, 0, 0.5, 1, 1.0, 1, 2.5, 18446744073709551615, 18446744073709551614]])
