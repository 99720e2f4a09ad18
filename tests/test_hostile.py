"""Hostile inputs: far past every limit, huge, crafted to collide, concurrent.

Each case must end in a result or one of the module's own exceptions without
exhausting memory. Cases that once took minutes (quadratic growth) carry no
time assertion: speed is held by the benchmarks, and a regression shows here
as a run that takes minutes instead of a second.

TAMSEL_SKIP_HUGE=1 skips the 100 MB document; TAMSEL_HEAVY_TESTS=1 runs the
one case that needs gigabytes (a stage reaching the result bound).
"""
import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import ctrl_c
from tamsel_vonk import PanicException, compile

MILLION = 1_000_000


def run_all(query, document):
    return list(compile(query).input(document))


# --- Nesting far past the limits ------------------------------------------

def short_id(value):
    text = repr(value)
    return text if len(text) <= 24 else f"{text[:16]}...({len(text)})"


@pytest.mark.parametrize("document, message", [
    ("[" * MILLION + "]" * MILLION, "NestingTooDeep"),
    ("[" * MILLION, "NestingTooDeep"),
    ('{"a":' * MILLION + "1" + "}" * MILLION, "NestingTooDeep"),
    ('[{"a":' * (MILLION // 2), "NestingTooDeep"),
], ids=short_id)
def test_documents_nested_a_million_levels_are_refused(document, message):
    with pytest.raises(ValueError, match=f"^{message} at character"):
        compile(".").input(document)


@pytest.mark.parametrize("query", [
    "select(" * MILLION + ".a" + ")" * MILLION,
    "{a: " * MILLION + "." + "}" * MILLION,
    "select(" + "(" * MILLION + ".a" + ")" * MILLION + ")",
    "select(" + "not (" * MILLION + ".a" + ")" * MILLION + ")",
    "select(.a" + " == .b | select(.c" * MILLION + ")" * MILLION + ")",
], ids=short_id)
def test_queries_nested_a_million_levels_are_refused(query):
    with pytest.raises(ValueError, match="query nested deeper than 256 levels"):
        compile(query)


@pytest.mark.parametrize("query, document, expected", [
    # Long but flat: a chain of a million steps is not deep.
    (".a" * MILLION, "{}", []),
    (" | ".join(["."] * 100_000), "7", [7]),
    (", ".join(["."] * 100_000), "7", [7] * 100_000),
], ids=short_id)
def test_long_flat_queries_run(query, document, expected):
    assert run_all(query, document) == expected


def test_operator_chain_of_a_million_terms_is_refused_or_runs():
    for query in (" + ".join(["1"] * MILLION), " * ".join(["."] * MILLION)):
        try:
            results = run_all(query, "1")
        except ValueError as error:
            assert "nested deeper than 256 levels" in str(error)
        else:
            assert results in ([MILLION], [1])


# --- Size ------------------------------------------------------------------

@pytest.mark.skipif(bool(os.environ.get("TAMSEL_SKIP_HUGE")), reason="TAMSEL_SKIP_HUGE is set")
def test_hundred_megabyte_string():
    size = 100 * 1024 * 1024
    body = "x" * (size - 2) + "\u00e9"  # one two-byte character at the very end
    document = '"' + body + '"'
    program = compile("length, .[-1:], .[0:3], tojson")
    results = list(program.input(document))
    assert results[:3] == [size - 1, "\u00e9", "xxx"] and len(results[3]) == size + 1
    del results
    assert compile(".").first(document) == body
    del document, body


def key_sets(count):
    prefix = "k" * 200
    return {
        # Long common prefix, differing only in the last characters.
        "common prefix": [f"{prefix}{i:08d}" for i in range(count)],
        # Same length, same characters, one position differs.
        "one position": [f"{prefix[:100]}{chr(0x4e00 + i % 20000)}{i // 20000}" for i in range(count)],
    }


@pytest.mark.parametrize("name", ["common prefix", "one position"])
def test_hundred_thousand_keys_that_collide_poorly(name):
    keys = key_sets(100_000)[name]
    document = json.dumps({k: i for i, k in enumerate(keys)})
    result = compile(".").first(document)
    assert list(result) == keys
    # Lookups against the parsed document and against a built object.
    assert run_all(f'has("{keys[-1]}"), has("{keys[0]}x")', document) == [True, False]
    if keys[-1].isidentifier():
        assert compile(f".{keys[-1]}").first(document) == len(keys) - 1
    built = compile("to_entries | from_entries").first(document)
    assert built == result and list(built) == keys
    assert compile("keys | length").first(document) == len(keys)


def test_one_key_repeated_three_hundred_thousand_times():
    # Every repeat hashes alike; the object must still build in linear time.
    document = "{" + ",".join(f'"k":{i}' for i in range(300_000)) + "}"
    assert compile("{a: .} | .a").first(document) == {"k": 299_999}
    assert compile("to_entries | length").first(document) == 300_000
    assert compile("keys").first(document) == ["k"] * 300_000


# --- Output growth -----------------------------------------------------------

@pytest.mark.parametrize("query, per_element", [
    (".[] | ., .", 2),
    (".[] | .x, .x, .x", 3),
    (".[] | {a: .x, b: .y.[]}", 2),
])
def test_outputs_accumulate_in_linear_time(query, per_element):
    # Each input appends a few outputs to the stage's list; growing that list
    # by exactly what is added each time once made this quadratic (minutes).
    n = 200_000
    document = json.dumps([{"x": i, "y": [i, -i]} for i in range(n)])
    results = list(compile(query).input(document))
    assert len(results) == per_element * n


@pytest.mark.parametrize("items, expected", [
    ([{"k%d" % i: i} for i in range(200_000)], 200_000),
    ([{"k%d" % i: i} if i % 2 else None for i in range(200_000)], 100_000),
    ([[i] for i in range(200_000)], 200_000),
    (["ab"] * 200_000, 400_000),
], ids=["objects", "objects and nulls", "arrays", "texts"])
def test_add_grows_one_total(items, expected):
    # Merging into a new object for every element made this quadratic: hours
    # for these 200,000 objects.
    assert compile("add | length").first(json.dumps(items)) == expected


FUZZ_DOCUMENTS = [
    '{"a":[1,"x",{"b":null,"c":true}],"c":-2.5,"d":"h\\u00e9llo","e":[3,1,2],"n":0}',
    '[3,-1,2.5,"s","",[],{},[1,[2,[3]]],{"k":"v","a":1},null,false,18446744073709551615]',
    '{"b":{"b":[1,2,3],"k00":{"x":[4,5]}},"k00":[6,7,8]}',
]


@pytest.mark.parametrize("query", [
    # Found by fuzzing: each took minutes while stage lists grew quadratically.
    "..............,..............|. |..,............|. |..,.................a...../.....,......",
    '..|"eto' + "\x00" * 20 + "sztristude" + "\x00" * 70 + '00\\n" | explode |.. | .-.|.+.n-8tojsnot.,-4',
    "{c: {b: {b: .[], k00: .[], k00: .[]}}} | " + ", ".join([" + ".join([".[]"] * 8)] * 2),
], ids=short_id)
def test_fuzzer_slow_units_finish(query):
    program = compile(query)
    for document in FUZZ_DOCUMENTS:
        try:
            list(program.input(document))
        except PanicException:
            pass


def test_object_construction_product_is_bounded():
    document = json.dumps(list(range(200)))
    program = compile("{a: .[], b: .[], c: .[]}")  # 8 million objects
    with pytest.raises(PanicException, match="^too many results: object construction would "
                                             "build more than 2097152 objects$"):
        program.input(document)
    # A product under the bound is built in full, last key fastest.
    results = list(compile("{a: .[], b: .[]}").input(json.dumps(list(range(300)))))
    assert len(results) == 90_000
    assert results[:2] == [{"a": 0, "b": 0}, {"a": 0, "b": 1}] and results[-1] == {"a": 299, "b": 299}
    # The program stays usable.
    assert program.first("[1]") == {"a": 1, "b": 1, "c": 1}


@pytest.mark.skipif(not os.environ.get("TAMSEL_HEAVY_TESTS"), reason="needs TAMSEL_HEAVY_TESTS=1")
def test_stage_output_is_bounded():
    # About 1.7e8 results from a 2 KB document and an 11-character query.
    with pytest.raises(PanicException, match="^too many results: a stage produced more than"):
        compile(".. | .. | ..").input("[" * 1000 + "]" * 1000)


# --- Characters --------------------------------------------------------------

ESCAPES = '"\\u0000 \\" \\\\ \\/ \\b \\f \\n \\r \\t \\u001f \\u007f \\u00e9 \\u2028 \\ud83d\\ude00 \\uffff"'
DECODED = "\x00 \" \\ / \b \f \n \r \t \x1f \x7f \u00e9 \u2028 \U0001F600 \uffff"


@pytest.mark.parametrize("query, document, expected", [
    (".", ESCAPES, [DECODED]),
    ("tojson | fromjson", ESCAPES, [DECODED]),
    ("length", ESCAPES, [len(DECODED)]),
    ("explode | implode", ESCAPES, [DECODED]),
    ("split(\"\\u0000\")", '"a\\u0000b\\u0000"', [["a", "b", ""]]),
    ("tojson", '"\\u0000\\u001f"', ['"\\u0000\\u001f"']),
    ('{a: "\\u0000"} | .a', "null", ["\x00"]),
    ('"a\x00b"', "null", ["a\x00b"]),  # a raw NUL inside a query's string literal
    ("keys", '{"\\u0000":1,"\\u0000\\u0000":2}', [["\x00", "\x00\x00"]]),
])
def test_nul_characters_and_every_escape(query, document, expected):
    assert run_all(query, document) == expected


@pytest.mark.parametrize("document, message", [
    ('"a\x00b"', "Syntax at character 2 ('\x00')"),
    ("[1]\x00", "TrailingData at character 3 ('\x00')"),
    ("\x00", None),
    ('"\\ud800"', "InvalidUnicodeCodepoint at character 1 ('\\')"),
])
def test_raw_nul_and_broken_escapes_in_documents(document, message):
    with pytest.raises(ValueError) as caught:
        compile(".").input(document)
    if message is not None:
        assert str(caught.value) == message


@pytest.mark.parametrize("call", [
    lambda: compile('"\ud800"'),
    lambda: compile(".a | \udfff"),
    lambda: compile(".").input('"\udc00"'),
    lambda: compile(".").first('["\ud83d"]'),
    lambda: compile(".").input(json_text="\ud800"),
    # A stream gives the texts before it first.
    lambda: list(compile(".").stream('"\u00e9" 1 "\ud800"')),
    lambda: list(compile(".").stream('"\u00e9" 1 "\ud800"', threads=2)),
    lambda: compile(".").batch(['"\udc00"']),
])
def test_lone_surrogates_in_arguments(call):
    with pytest.raises(UnicodeEncodeError):
        call()
    assert compile(".").first('"\U0001F600"') == "\U0001F600"


# --- Numbers at the edges ----------------------------------------------------

@pytest.mark.parametrize("document, expected", [
    ("0", 0), ("-0", 0), ("9223372036854775807", 2**63 - 1), ("-9223372036854775808", -(2**63)),
    ("9223372036854775808", 2**63), ("18446744073709551615", 2**64 - 1),
    ("[2147483647,-2147483648,4294967295,4294967296]", [2**31 - 1, -(2**31), 2**32 - 1, 2**32]),
    ("1.7976931348623157e308", 1.7976931348623157e308), ("5e-324", 5e-324), ("1e-400", 0.0),
    ("0." + "0" * 100_000 + "1", 0.0),
    ("1." + "0" * 100_000, 1.0),
], ids=short_id)
def test_integers_and_floats_at_every_boundary(document, expected):
    result = compile(".").first(document)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("document", [
    "18446744073709551616", "-9223372036854775809", "1e309", "-1e309",
    "1" + "0" * 100_000, "-" + "9" * 100_000, "1" + "0" * 100_000 + ".0",
    "1e" + "9" * 100_000, "1e-" + "9" * 100_000,
], ids=short_id)
def test_numbers_out_of_range_or_a_hundred_thousand_digits_long(document):
    with pytest.raises(ValueError, match="^InvalidNumber at character"):
        compile(".").input(document)


@pytest.mark.parametrize("query, document, expected", [
    (". + 1", "9223372036854775807", -(2**63)),
    (". - 1", "-9223372036854775808", 2**63 - 1),
    (". * -1", "-9223372036854775808", -(2**63)),
    (". % 7", "-9223372036854775808", -1),
    (". / 0", "1", float("inf")),
    ("tostring", "18446744073709551615", "18446744073709551615"),
    ("tojson", "-9223372036854775808", "-9223372036854775808"),
    (".[9223372036854775807:]", "[1,2]", []),
    (".[-9223372036854775808:]", "[1,2]", [1, 2]),
    (".[:-9223372036854775808]", "[1,2]", []),
    (".[-2147483648]", "[1,2]", None),
    ("limit(9223372036854775807)", "[1,2]", [1, 2]),
])
def test_arithmetic_and_positions_at_integer_boundaries(query, document, expected):
    assert compile(query).first(document) == expected


@pytest.mark.parametrize("query", ["1" + "0" * 100_000, "-" + "9" * 100_000,
                                   "limit(" + "9" * 100_000 + ")"], ids=short_id)
def test_query_integers_a_hundred_thousand_digits_long(query):
    try:
        compile(query)
    except ValueError:
        pass


@pytest.mark.parametrize("query, document, message", [
    (". % 0", "5", "attempt to calculate the remainder with a divisor of zero"),
    (". % -1", "-9223372036854775808", "attempt to calculate the remainder with overflow"),
])
def test_remainder_faults(query, document, message):
    with pytest.raises(PanicException, match=f"^{message}$"):
        compile(query).input(document)


# --- Threads -----------------------------------------------------------------

def test_one_program_from_many_threads():
    program = compile(".items.[] | select(.n % 3 == 0) | {n: .n, s: .s | ascii_upcase}")
    documents = [json.dumps({"items": [{"n": n, "s": f"s{n}-{t}"} for n in range(60)]})
                 for t in range(8)]
    expected = [list(program.input(d)) for d in documents]
    errors = []
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    barrier = threading.Barrier(8)

    def work(t):
        try:
            barrier.wait()
            for i in range(150):
                it = program.input(documents[t])
                assert next(it) == expected[t][0]
                assert list(it) == expected[t][1:]
                assert program.first(documents[(t + i) % 8]) == expected[(t + i) % 8][0]
                if i % 25 == 0:
                    with pytest.raises(ValueError):
                        program.input("[")
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert errors == []


@pytest.mark.parametrize("call, messages", [
    # input() reports an object the interpreter cannot make as an internal
    # fault, with its cause; the module's own methods let its MemoryError be.
    ("program.input(deep)", ("could not create a Python object: MemoryError", "MemoryError")),
    ("program.input_bytes(deep.encode())", ("MemoryError",)),
    ("list(program.stream(deep))", ("MemoryError",)),
    ("program.batch([deep])", ("MemoryError",)),
])
def test_conversion_out_of_memory_names_its_cause(call, messages):
    # Half a million results nested up to 1023 deep cannot all become lists
    # within the cap: the failure says why (whichever of the interpreter or
    # the C++ side meets the cap first), the process survives, and the
    # program stays usable.
    code = textwrap.dedent("""
        import resource, sys
        import tamsel_vonk
        program = tamsel_vonk.compile("..|..")
        deep = "[" * 1024 + "]" * 1024
        # Evaluating alone (first() converts one result) maps the memory the
        # C++ side needs, so it is the conversion that meets the cap.
        program.first(deep)
        with open("/proc/self/status") as status:
            size = next(int(l.split()[1]) for l in status if l.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (size * 1024 + 300 * 2**20, resource.RLIM_INFINITY))
        try:
            bytearray(2**30)
            print("no cap")  # the limit does not stick (an emulator)
            raise SystemExit
        except MemoryError:
            pass
        try:
            eval(sys.argv[1])
        except tamsel_vonk.PanicException as error:
            print(error)
        except MemoryError:
            print("MemoryError")
        print(len(list(tamsel_vonk.compile("..").input(deep))))
    """)
    if not os.path.exists("/proc/self/status") or os.environ.get("TAMSEL_SANITIZED"):
        pytest.skip("needs /proc, and an address-space cap that a sanitizer leaves room for")
    done = subprocess.run([sys.executable, "-c", code, call], capture_output=True, text=True,
                          timeout=120)
    lines = done.stdout.splitlines()
    if lines == ["no cap"]:
        pytest.skip("an address-space limit does not stick here (an emulator)")
    assert lines[1:] == ["1024"], done.stderr
    assert lines[0] in messages, lines


def test_ctrl_c_interrupts_a_long_call():
    # Three thousand stages of tojson | fromjson over 600 KB take far longer
    # than the moment at which the signal comes, sent from outside as a
    # terminal's Ctrl-C is.
    code = textwrap.dedent("""
        import json, sys
        import tamsel_vonk
        doc = json.dumps([{"a": i, "b": "x" * 20} for i in range(20000)])
        program = tamsel_vonk.compile(" | ".join(["tojson | fromjson"] * 3000))
        print("running", flush=True)
        try:
            program.first(doc)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted")
        print(program.first("[]"), tamsel_vonk.compile(".[1].a").first(doc))
    """)
    import signal
    import time

    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "running\n"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert out.splitlines() == ["interrupted", "[] 1"], err


# Each case is one long loop of its own kind; uninterrupted, each call takes
# half a second or more here. Beside the loop's query, one that reads as much
# of the document and loops nowhere: under an emulator the reading alone can
# take half the call, and no poll comes inside it.
LONG_LOOPS = {
    "construction product": ("{a: .[], b: .[], c: .[], d: .[], e: 1, f: 2, g: 3, h: 4} | empty", "length",
                             "[" + ",".join(map(str, range(38))) + "]"),
    "object merge": (".[0] + .[1] | length", "{a: .[0], b: .[1]} | length", "[{%s},{%s}]" % (
        ",".join('"k%d":1' % i for i in range(10**6)), ",".join('"j%d":1' % i for i in range(10**6)))),
    "add": ("add | length", "length", "[" + ",".join('{"k%d":1}' % i for i in range(2 * 10**6)) + "]"),
    "sort": ("sort | length", "length",
             "[" + ",".join('"k%07d"' % (i * 7919 % 2 * 10**6) for i in range(2 * 10**6)) + "]"),
    "rendering": (" | ".join(["tojson"] * 27) + " | length", "length", '"\\""'),
    "conversion": (".", "length", "[" + ",".join(['{"a":1,"b":[1,2]}'] * 10**6) + "]"),
}


@pytest.mark.skipif(os.environ.get("TAMSEL_SANITIZED") == "1", reason="too slow instrumented")
@pytest.mark.parametrize("call", ["program.first(document)",
                                  # Without the interpreter lock, which the poll takes back.
                                  "program.first_bytes(document.encode())"])
def test_ctrl_c_reaches_every_long_loop(call):
    setup = """
        query, document = sys.argv[2], sys.stdin.read()
        program = tamsel_vonk.compile(query)
        """
    late = {}
    for name, (query, reading, document) in LONG_LOOPS.items():
        outcome, seconds, after = ctrl_c.run(setup, call, 'program.first("[]"); print("usable")',
                                             args=[query], stdin=document)
        assert (outcome, after) == ("interrupted", ["usable"]), name
        if (how_late := ctrl_c.lateness(setup, call, seconds, args=[query], stdin=document,
                                        reading_args=[reading])):
            late[name] = how_late
    assert late == {}


def test_ctrl_c_reaches_a_child_forked_from_a_thread():
    # In a child forked from a thread, that thread handles signals; a call
    # that lets go of the lock must still take it back for them. Long padding
    # makes the document large enough to be run without the lock.
    code = textwrap.dedent("""
        import os, signal, threading, time, warnings
        import tamsel_vonk
        warnings.simplefilter("ignore")  # forking with threads is the point
        program = tamsel_vonk.compile(" | ".join(["tojson"] * 27) + " | length")
        document = ('"\\\\""' + " " * 20000).encode()
        def fork_and_interrupt():
            child = os.fork()
            if child == 0:
                def handler(signum, frame):
                    raise KeyboardInterrupt
                signal.signal(signal.SIGALRM, handler)
                start = time.perf_counter()
                signal.setitimer(signal.ITIMER_REAL, 0.05)
                try:
                    program.first_bytes(document)
                    outcome = "finished"
                except KeyboardInterrupt:
                    outcome = "interrupted"
                print(outcome, time.perf_counter() - start, flush=True)
                os._exit(0)
            os.waitpid(child, 0)
        thread = threading.Thread(target=fork_and_interrupt)
        thread.start()
        thread.join()
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    outcome, seconds = done.stdout.split()
    assert outcome == "interrupted", done.stderr
    assert float(seconds) < ctrl_c.SOON


def test_signal_handlers_compile_and_run_programs_during_a_call():
    # A handler runs inside the call's poll: what it compiles must outlive
    # the call, and the call it makes must not disturb the one it interrupts.
    code = textwrap.dedent("""
        import json, signal
        import tamsel_vonk
        kept, seen = [], []
        def handler(signum, frame):
            program = tamsel_vonk.compile('.a | {b: ., c: tojson}')
            seen.append(program.first('{"a": [1, "x"]}'))
            kept.append(program)
        signal.signal(signal.SIGALRM, handler)
        doc = json.dumps([{"a": i, "b": "x" * 20} for i in range(2000)])
        signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
        results = list(tamsel_vonk.compile(" | ".join(["tojson | fromjson"] * 300)).input(doc))
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(results == [json.loads(doc)], len(kept) > 0)
        print(all(p.first('{"a": 2}') == {"b": 2, "c": "2"} for p in kept))
        print(all(s == {"b": [1, "x"], "c": '[1,"x"]'} for s in seen))
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == ["True"] * 4, done.stderr


def test_small_hostile_queries_end_with_a_result_or_their_own_error():
    # In a child capped at 4 GiB above its start: every case ends in a result
    # or PanicException (the call's memory budget), never the cap's MemoryError.
    code = textwrap.dedent("""
        import resource
        import tamsel_vonk
        with open("/proc/self/status") as status:
            size = next(int(l.split()[1]) for l in status if l.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (size * 1024 + 4 * 2**30, resource.RLIM_INFINITY))
        nested = '{"a":' * 700 + "1" + "}" * 700
        cases = [
            ("|".join([". + ."] * 27), "[0]"),
            ("|".join(["tojson"] * 28), "[0]"),
            ("..|..|..|empty", '{"a":' * 200 + "1" + "}" * 200),
            (",".join(["......"] * 4), nested),
            ('index("' + "a" * 499999 + 'b")', '"' + "a" * 1000000 + '"'),
        ]
        for query, document in cases:
            try:
                tamsel_vonk.compile(query).first(document)
                print("result")
            except tamsel_vonk.PanicException as error:
                print("panic" if "budget" in str(error) or "too many" in str(error) else error)
    """)
    if not os.path.exists("/proc/self/status") or os.environ.get("TAMSEL_SANITIZED"):
        pytest.skip("needs /proc, and an address-space cap that a sanitizer leaves room for")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert set(done.stdout.split()) <= {"result", "panic"}, done.stdout
    assert done.stdout.split()[0] == "panic"  # the doubling array meets the budget
