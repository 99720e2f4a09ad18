"""Generated documents: round trips through the renderer and parser, and the sort order."""
import json
import math
from collections import Counter
from functools import cmp_to_key

from hypothesis import given, settings, strategies as st

from tamsel_vonk import compile
from value_match import assert_same

I64_MIN = -(2 ** 63)
I64_MAX = 2 ** 63 - 1

IDENTITY = compile(".")
ROUND_TRIP = compile("tojson | fromjson")
CODE_POINTS = compile("explode | implode")
SORT = compile("sort")
TOJSON = compile("tojson")

moderate = settings(max_examples=150, deadline=None)

finite_floats = st.floats(allow_nan=False, allow_infinity=False)
scalars = st.none() | st.booleans() | st.integers(I64_MIN, I64_MAX) | finite_floats | st.text()


def documents(leaves):
    return st.recursive(
        leaves,
        lambda children: st.lists(children, max_size=6) | st.dictionaries(st.text(), children, max_size=6),
        max_leaves=30,
    )


def equal(a, b):
    """Equality as the query language sees it: an integer equals a float when it
    converts to that float (so 2 == 2.0), and dicts ignore member order."""
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(equal(a[k], b[k]) for k in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(map(equal, a, b))
    if isinstance(a, bool) or isinstance(b, bool):
        return type(a) is type(b) and a == b
    if isinstance(a, float) or isinstance(b, float):
        return isinstance(a, (int, float)) and isinstance(b, (int, float)) and float(a) == float(b)
    return a == b


@moderate
@given(documents(scalars))
def test_identity_gives_back_the_document(value):
    text = json.dumps(value)
    assert_same(list(IDENTITY.input(text)), [json.loads(text)])


# A float without fractional part is written as plain digits and read back as an
# integer; outside the 64-bit integer range such digits no longer parse, so the
# round trip keeps to the range below.
round_trip_floats = st.floats(min_value=-9.2e18, max_value=1.8e19, allow_nan=False)
round_trip_scalars = (
    st.none() | st.booleans() | st.integers(I64_MIN, I64_MAX) | round_trip_floats | st.text()
)


@moderate
@given(documents(round_trip_scalars))
def test_tojson_then_fromjson_round_trips(value):
    result = list(ROUND_TRIP.input(json.dumps(value)))
    assert len(result) == 1
    assert equal(result[0], value)


@moderate
@given(st.text(alphabet=st.characters(blacklist_categories=("Cs",))))
def test_explode_then_implode_is_identity(text):
    assert list(CODE_POINTS.input(json.dumps(text))) == [text]


def _rank(value):
    if value is None:
        return 0
    if value is False:
        return 1
    if value is True:
        return 2
    if isinstance(value, (int, float)):
        return 3
    if isinstance(value, str):
        return 4
    if isinstance(value, list):
        return 5
    return 6


def _order(a, b):
    ra, rb = _rank(a), _rank(b)
    if ra != rb:
        return -1 if ra < rb else 1
    if ra == 3:
        fa, fb = float(a), float(b)
        return -1 if fa < fb else 1 if fa > fb else 0
    if ra == 4:
        ba, bb = a.encode(), b.encode()
        return -1 if ba < bb else 1 if ba > bb else 0
    if ra == 5:
        for x, y in zip(a, b):
            step = _order(x, y)
            if step:
                return step
        return -1 if len(a) < len(b) else 1 if len(a) > len(b) else 0
    return 0


def _key(value):
    return json.dumps(value, sort_keys=True)


@moderate
@given(st.lists(documents(scalars), max_size=25))
def test_sort_is_a_stable_ordered_permutation(values):
    result = list(SORT.input(json.dumps(values)))
    assert len(result) == 1
    ordered = result[0]
    assert Counter(map(_key, ordered)) == Counter(map(_key, values))
    assert all(_order(x, y) <= 0 for x, y in zip(ordered, ordered[1:]))
    # The order is a total preorder without NaN, so a stable sort has one answer.
    expected = sorted(values, key=cmp_to_key(_order))
    assert list(map(_key, ordered)) == list(map(_key, expected))


def _digits(text):
    mantissa = text.lstrip("-").split("e")[0].replace(".", "")
    return mantissa.strip("0") or "0"


@moderate
@given(finite_floats)
def test_tojson_of_a_float_reads_back(value):
    text = TOJSON.first(json.dumps([value]))[1:-1]
    assert "e" not in text and "E" not in text
    assert float(text) == value
    assert math.copysign(1, float(text)) == math.copysign(1, value)
    # Shortest digits: the same significant digits as Python's own shortest repr.
    assert _digits(text) == _digits(repr(value))


# Small alphabets make repeats, overlaps and partial matches likely; é and 😀
# take two and four bytes, so byte offsets and code point positions differ.
search_text = st.text(alphabet="abé😀", max_size=12)


@moderate
@given(search_text, search_text)
def test_string_search_positions(text, needle):
    doc = json.dumps(text)
    arg = json.dumps(needle)

    def one(name):
        return compile(f"{name}({arg})").first(doc)

    assert one("index") == (text.find(needle) if needle in text else None)
    assert one("rindex") == (text.rfind(needle) if needle in text else None)
    expected = [i for i in range(len(text)) if text.startswith(needle, i)] if needle else []
    assert one("indices") == expected
    assert one("contains") == (needle in text)
    assert one("startswith") == text.startswith(needle)
    assert one("endswith") == text.endswith(needle)
    assert one("ltrimstr") == (text[len(needle):] if text.startswith(needle) else text)
    assert one("rtrimstr") == (text[: len(text) - len(needle)] if text.endswith(needle) else text)
    if needle:
        assert one("split") == text.split(needle)
