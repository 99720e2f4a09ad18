"""The peers: each does a workload's job from the document's text and returns
the list of results. Peers whose package is not installed are left out.

The text comes in one of the two forms callers have (the flow): a `str` that
no call has seen ("fresh str"), or UTF-8 `bytes` as read from a file or a
socket ("bytes"). In the bytes flow ours uses input_bytes()/first_bytes(),
orjson, json and JMESPath's loader take the bytes directly, and jq, which
takes only text, decodes them first, as its callers must.

pysimdjson, cysimdjson and msgspec run in the bytes flow only, each set up as
its documentation recommends: one parser reused for every call (pysimdjson,
cysimdjson), read through its lazy proxies and `at_pointer`, with containers
converted to Python objects; a `msgspec.json.Decoder` made once per workload
for Structs that declare only the fields the query reads."""

import importlib
import json
from typing import Any, Optional

import tamsel_vonk

PEERS = ["ours", "orjson", "json", "jq", "jmespath", "pysimdjson", "cysimdjson", "msgspec"]
FRESH, BYTES = "fresh str", "bytes"
FLOWS = [FRESH, BYTES]


def _try_import(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


orjson = _try_import("orjson")
jq = _try_import("jq")
jmespath = _try_import("jmespath")
simdjson = _try_import("simdjson")  # pysimdjson
cysimdjson = _try_import("cysimdjson")
msgspec = _try_import("msgspec")

# One parser each, reused by every call. A pysimdjson parser refuses to parse
# while a proxy into its previous document is alive, and a cysimdjson proxy is
# valid only until its parser parses again: no call lets a proxy outlive it.
_PROXY_PARSERS = {}
if simdjson is not None:
    _PROXY_PARSERS["pysimdjson"] = (
        simdjson.Parser().parse,
        lambda v: (v.as_dict() if isinstance(v, simdjson.Object) else
                   v.as_list() if isinstance(v, simdjson.Array) else v))
if cysimdjson is not None:
    _PROXY_PARSERS["cysimdjson"] = (
        cysimdjson.JSONParser().parse,
        lambda v: v.export() if isinstance(v, (cysimdjson.JSONObject, cysimdjson.JSONArray)) else v)


def available():
    """Peer names whose packages can be imported."""
    present = {"ours": True, "json": True, "orjson": orjson is not None,
               "jq": jq is not None, "jmespath": jmespath is not None,
               "pysimdjson": simdjson is not None, "cysimdjson": cysimdjson is not None,
               "msgspec": msgspec is not None}
    return [p for p in PEERS if present[p]]


def _msgspec_type(shape, name="Doc"):
    """The type msgspec decodes a shape into: {field: shape, ...} a Struct
    of those fields alone (each may be null or missing, other fields are
    skipped), {str: shape} a dict of them, [shape] a list of them; anything
    else is a type already."""
    if isinstance(shape, list):
        return list[_msgspec_type(shape[0], name)]
    if isinstance(shape, dict):
        if str in shape:
            return dict[str, _msgspec_type(shape[str], name)]
        return msgspec.defstruct(name, [(k, Optional[_msgspec_type(v, k)], None)
                                        for k, v in shape.items()])
    return shape


def _pointer_steps(pointer):
    """The steps of a JSON pointer, and the shape msgspec decodes to follow them."""
    steps = pointer.split("/")[1:]
    shape = Any
    for step in reversed(steps):
        shape = [shape] if step.isdigit() else {step: shape}
    return steps, shape


def _follow(value, steps):
    for step in steps:
        value = value[int(step)] if isinstance(value, list) else getattr(value, step)
    return value


def _json_dumps(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def _one_call(peer, w, flow):
    """A function text -> list of results, or None where the peer cannot
    express the workload (or is not installed)."""
    if peer == "ours":
        program = tamsel_vonk.compile(w.query)
        if w.first:
            first = program.first_bytes if flow == BYTES else program.first
            return lambda text: [first(text)]
        run = program.input_bytes if flow == BYTES else program.input
        return lambda text: list(run(text))
    if peer in ("orjson", "json"):
        if peer == "orjson":
            if orjson is None:
                return None
            loads, dumps = orjson.loads, (lambda v: orjson.dumps(v).decode())
        else:
            loads, dumps = json.loads, _json_dumps
        python = w.python
        return lambda text: python(loads(text), dumps)
    if peer == "jq":
        if jq is None or w.jq is None:
            return None
        as_text = (lambda data: data.decode("utf-8")) if flow == BYTES else (lambda text: text)
        if w.first:
            program = jq.compile("first(%s)" % w.jq)
            return lambda text: [program.input_text(as_text(text)).first()]
        program = jq.compile(w.jq)
        return lambda text: program.input_text(as_text(text)).all()
    if peer == "jmespath":
        if jmespath is None or w.jmespath is None:
            return None
        # JMESPath works on parsed data: give it the fastest parser at hand.
        loads = orjson.loads if orjson is not None else json.loads
        search = jmespath.compile(w.jmespath).search
        if w.jmespath_many:
            def run_many(text):
                found = search(loads(text))
                return [] if found is None else found
            return run_many
        return lambda text: [search(loads(text))]
    if flow != BYTES:
        return None
    if peer in ("pysimdjson", "cysimdjson"):
        if peer not in _PROXY_PARSERS or (w.pointer is None and not w.proxies):
            return None
        parse, plain = _PROXY_PARSERS[peer]
        if w.pointer is not None:
            pointer = w.pointer
            return lambda data: [plain(parse(data).at_pointer(pointer))]
        python = w.python
        return lambda data: python(parse(data), None)
    if peer == "msgspec":
        if msgspec is None:
            return None
        if w.pointer is not None:
            steps, shape = _pointer_steps(w.pointer)
            decode = msgspec.json.Decoder(_msgspec_type(shape)).decode
            return lambda data: [_follow(decode(data), steps)]
        if w.msgspec is None:
            return None
        shape, code = w.msgspec
        decode = msgspec.json.Decoder(_msgspec_type(shape)).decode
        return lambda data: code(decode(data))
    raise ValueError(peer)


def make_call(peer, w, flow=FRESH):
    """Like _one_call, for a whole workload: over a list of texts when the
    workload is many small documents (one result list per document)."""
    call = _one_call(peer, w, flow)
    if call is None or not w.many:
        return call
    return lambda texts: [call(t) for t in texts]


def same(a, b, json_numbers=False):
    """Equal values of the same types all the way down: 1, 1.0 and True are
    three different results here, and so are dict key orders. With
    `json_numbers`, an int and a float of equal value count as equal (for jq,
    whose numbers are all doubles and which prints 1.0 as 1)."""
    if type(a) is not type(b):
        return (json_numbers and type(a) in (int, float) and type(b) in (int, float)
                and a == b)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k], json_numbers) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y, json_numbers) for x, y in zip(a, b))
    if isinstance(a, float) and a != a:
        return b != b
    return a == b
