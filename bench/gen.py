"""Deterministic JSON documents of a chosen size, for the growth benchmarks.

A document is {"meta": {...}, "items": [record, ...]} where each record is
about 200 bytes and mixes every kind of value: integers, floats, strings with
escapes and non-ASCII text, booleans, null, a nested object and a short array.
The same seed and size always give the same text.
"""

import json
import random

SEED = 20240517

_WORDS = [
    "alpha", "beta", "gamma", "delta", "vonk", "tamsel", "query", "filter",
    "caf\u00e9", "na\u00efve", "\u65e5\u672c", "\u00fcber", "stra\u00dfe", "line\nbreak",
    'a "quoted" word', "tab\there", "slash/back\\slash", "emoji \U0001F600",
]
_TAGS = ["red", "green", "blue", "json", "fast", "slow", "new", "old"]


def record(rng, i):
    """One record of roughly 200 bytes."""
    return {
        "id": i,
        "name": "user%06d" % i,
        "active": rng.random() < 0.5,
        "score": round(rng.random() * 100, 3),
        "tags": rng.sample(_TAGS, rng.randint(0, 3)),
        "geo": {"lat": round(rng.uniform(-90, 90), 6), "lon": round(rng.uniform(-180, 180), 6)},
        "text": " ".join(rng.choice(_WORDS) for _ in range(rng.randint(2, 6))),
        "parent": None if rng.random() < 0.7 else rng.randint(0, 1 << 40),
    }


def _dumps(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def document(size, seed=SEED):
    """A document whose text is close to `size` bytes (at least a few records,
    and never more than one record over `size`)."""
    rng = random.Random(seed)
    meta = {
        "generator": "tamsel bench",
        "seed": seed,
        "info": {"version": 3, "deep": {"leaf": "here", "path": [1, 2, {"x": True}]}},
    }
    head = '{"meta":' + _dumps(meta) + ',"items":['
    parts = []
    total = len(head.encode()) + 2
    i = 0
    while total < size or i < 2:
        text = _dumps(record(rng, i))
        parts.append(text)
        total += len(text.encode("utf-8")) + 1
        i += 1
    return head + ",".join(parts) + "]}"


def small_documents(count, seed=SEED):
    """`count` independent documents of about 200 bytes: one record each."""
    rng = random.Random(seed + 1)
    return [_dumps(record(rng, i)) for i in range(count)]
