"""Strict comparison of query results: kinds, signs, NaN and member order count."""
import math


def same(actual, expected):
    """True when `actual` has exactly the types, values and orders of `expected`.

    int and float are told apart (so are bool and int), NaN matches NaN, the
    sign of a zero float counts, and dict members must come in the same order.
    """
    if type(actual) is not type(expected):
        return False
    if isinstance(expected, float):
        if math.isnan(expected):
            return math.isnan(actual)
        return actual == expected and math.copysign(1, actual) == math.copysign(1, expected)
    if isinstance(expected, list):
        return len(actual) == len(expected) and all(map(same, actual, expected))
    if isinstance(expected, dict):
        return list(actual) == list(expected) and all(
            same(actual[key], expected[key]) for key in expected
        )
    return actual == expected


def assert_same(actual, expected):
    assert same(actual, expected), f"got {actual!r}, expected {expected!r}"
