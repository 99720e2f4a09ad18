"""TamselProgram.table(): query results as rows of Arrow columns, read by
pyarrow, polars, DuckDB and pandas through the PyCapsule interface. Every
array made is checked whole by pyarrow's validate(full=True)."""
import io
import json
import os
import subprocess
import sys
import textwrap

import pytest

from tamsel_vonk import TamselTable, TamselTextError, compile

pa = pytest.importorskip("pyarrow")

IDENTITY = compile(".")


def read(table):
    """The pyarrow Table of a TamselTable, read as a stream, checked whole."""
    result = pa.table(table)
    result.validate(full=True)
    return result


def lines(*values):
    return "\n".join(json.dumps(v) for v in values)


def types_of(result):
    return {field.name: str(field.type) for field in result.schema}


# --- types: columns inferred from the values of the first batch -------------------

JSON = "extension<arrow.json>"

INFERRED = [
    # id, column query, values of the column's texts, its type, its values read back
    ("bool", ".v", [True, False, None], "bool", [True, False, None]),
    ("int", ".v", [1, -2, 3], "int64", [1, -2, 3]),
    ("uint above int64", ".v", [2**63, 1], "uint64", [2**63, 1]),
    ("uint and negative", ".v", [2**63, -1], "double", [2.0**63, -1.0]),
    ("int and float", ".v", [1, 2.5], "double", [1.0, 2.5]),
    ("float", ".v", [0.5, -1e300], "double", [0.5, -1e300]),
    ("string", ".v", ["a", "é", ""], "string", ["a", "é", ""]),
    ("nulls only", ".v", [None, None], "null", [None, None]),
    ("missing", ".nothing", [1, 2], "null", [None, None]),
    ("mixed", ".v", [1, "x", True, None], JSON, ["1", '"x"', "true", None]),
    ("list", ".v", [[1, 2], [], None], "list<item: int64>", [[1, 2], [], None]),
    ("list of nothing", ".v", [[], []], "list<item: null>", [[], []]),
    ("list of mixed", ".v", [[1, "a"]], "list<item: extension<arrow.json>>", [["1", '"a"']]),
    ("struct", ".v", [{"a": 1, "b": "x"}, {"b": "y"}, {"a": 2}],
     "struct<a: int64, b: string>",
     [{"a": 1, "b": "x"}, {"a": None, "b": "y"}, {"a": 2, "b": None}]),
    ("struct in list", ".v", [[{"a": [1.5]}]], "list<item: struct<a: list<item: double>>>",
     [[{"a": [1.5]}]]),
    ("array and object", ".v", [[1], {"a": 1}], JSON, ["[1]", '{"a":1}']),
    ("json text of nested", ".v", ["s", {"k": [1, 2.5, None, "\n"]}], JSON,
     ['"s"', '{"k":[1,2.5,null,"\\n"]}']),
    ("built value", ".v | {n: ., twice: . * 2}", [1, 2],
     "struct<n: int64, twice: int64>", [{"n": 1, "twice": 2}, {"n": 2, "twice": 4}]),
]


@pytest.mark.parametrize("query, values, arrow_type, expected",
                         [case[1:] for case in INFERRED], ids=[case[0] for case in INFERRED])
def test_inferred_types(query, values, arrow_type, expected):
    result = read(IDENTITY.table(lines(*({"v": v} for v in values)), columns={"c": query}))
    assert types_of(result) == {"c": arrow_type}
    assert result.column("c").to_pylist() == expected


def test_a_missing_field_is_a_null_never_a_lost_row():
    events = [{"id": 1, "org": {"login": "x"}}, {"id": 2}, {"id": 3, "org": None}]
    result = read(IDENTITY.table(lines(*events),
                                 columns={"id": ".id", "org": ".org.login", "no": ".a.b.c"}))
    assert result.to_pylist() == [
        {"id": 1, "org": "x", "no": None},
        {"id": 2, "org": None, "no": None},
        {"id": 3, "org": None, "no": None},
    ]


ROWS = [
    # id, row query, texts, columns, rows read back
    ("one row a text", ".", [{"a": 1}, {"a": 2}], {"a": ".a"}, [{"a": 1}, {"a": 2}]),
    ("rows from an array", ".items.[]", [{"items": [{"a": 1}, {"a": 2}]}, {"items": []},
                                         {"items": [{"a": 3}]}],
     {"a": ".a"}, [{"a": 1}, {"a": 2}, {"a": 3}]),
    ("rows selected", ".[] | select(.ok)", [[{"ok": True, "n": 1}, {"ok": False, "n": 2}]],
     {"n": ".n"}, [{"n": 1}]),
    ("the first result only", ".", [{"a": [5, 6]}], {"a": ".a.[]"}, [{"a": 5}]),
    ("by key", ".", [{"a": 1, "b": "x"}, {"b": "y", "c": True}], None,
     [{"a": 1, "b": "x", "c": None}, {"a": None, "b": "y", "c": True}]),
    ("by key, a null row", ".", [{"a": 1}, None], None, [{"a": 1}, {"a": None}]),
    ("by key, a repeated key", ".", ['{"a": 1, "a": 2}'], None, [{"a": 1}]),
    ("by key, built", ".[] | {id: .id, n: .id + 1}", [[{"id": 1}, {"id": 5}]], None,
     [{"id": 1, "n": 2}, {"id": 5, "n": 6}]),
]


@pytest.mark.parametrize("query, texts, columns, expected", [case[1:] for case in ROWS],
                         ids=[case[0] for case in ROWS])
def test_rows(query, texts, columns, expected):
    source = "\n".join(t if isinstance(t, str) else json.dumps(t) for t in texts)
    assert read(compile(query).table(source, columns=columns)).to_pylist() == expected


def test_by_key_a_row_that_is_not_an_object():
    with pytest.raises(ValueError, match=r"row 1: a string is not an object"):
        read(IDENTITY.table(lines({"a": 1}, "s")))
    result = read(IDENTITY.table(lines({"a": 1}, "s"), mismatch="null"))
    assert result.to_pylist() == [{"a": 1}, {"a": None}]


# --- later batches: converted to the first batch's types --------------------------

LATER = [
    # id, first batch, later values, mismatch policy, the values read back or the error
    ("int into float", [1.5], [2], "raise", [1.5, 2.0]),
    ("integral float into int", [1], [2.0], "raise", [1, 2]),
    ("float into int", [1], [2.5], "raise", "column 'c', row 1: the float 2.5 does not fit int64"),
    ("float into int, null", [1], [2.5], "null", [1, None]),
    ("string into int", [1], ["x"], "raise", "column 'c', row 1: a string does not fit int64"),
    ("anything into json", [1, "x"], [[1], {"a": None}], "raise", ["1", '"x"', "[1]", '{"a":null}']),
    ("a new member", [{"a": 1}], [{"a": 2, "b": 3}], "raise",
     "column 'c', row 1: a member 'b' does not fit struct<a: int64>"),
    ("a new member, null", [{"a": 1}], [{"a": 2, "b": 3}], "null", [{"a": 1}, {"a": 2}]),
    ("inside a list", [[1]], [[2, "x"]], "null", [[1], [2, None]]),
    ("null into anything", ["s"], [None], "raise", ["s", None]),
    ("into a null column", [None], [1], "raise", "column 'c', row 1: an integer does not fit null"),
]


@pytest.mark.parametrize("first, later, policy, expected", [case[1:] for case in LATER],
                         ids=[case[0] for case in LATER])
def test_later_batches_take_the_first_batch_types(first, later, policy, expected):
    source = lines(*({"v": v} for v in first + later))
    table = IDENTITY.table(source, columns={"c": ".v"}, batch_rows=len(first), mismatch=policy)
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected.replace("[", r"\[")):
            read(table)
    else:
        assert read(table).column("c").to_pylist() == expected


def test_a_mismatch_raised_in_the_call_itself():
    table = IDENTITY.table(lines({"v": 1}, {"v": "x"}), columns={"c": ".v"}, batch_rows=1)
    capsule = table.__arrow_c_stream__()
    reader = pa.RecordBatchReader._import_from_c_capsule(capsule)
    assert reader.read_next_batch().num_rows == 1
    with pytest.raises(ValueError, match="row 1"):
        reader.read_next_batch()
    one_shot = IDENTITY.table(lines({"v": 1}, {"v": "x"}), columns={"c": ".v"},
                              schema=pa.schema([("c", pa.int64())]))
    with pytest.raises(ValueError, match="column 'c', row 1: a string does not fit int64") as error:
        one_shot.__arrow_c_array__()
    assert "mismatch='null'" in "".join(getattr(error.value, "__notes__", []))


# --- a schema given ---------------------------------------------------------------

GIVEN = [
    # id, the column's type, values, values read back (or the error's text)
    ("int32", pa.int32(), [1, None, -5], [1, None, -5]),
    ("int8 overflow", pa.int8(), [127, 300], "the integer 300 does not fit int8"),
    ("uint8 negative", pa.uint8(), [1, -1], "the integer -1 does not fit uint8"),
    ("uint64", pa.uint64(), [2**64 - 1], [2**64 - 1]),
    ("float32", pa.float32(), [1, 0.5], [1.0, 0.5]),
    ("float into int", pa.int64(), [3.0, 3.5], "the float 3.5 does not fit int64"),
    ("bool", pa.bool_(), [True, 1], "an integer does not fit bool"),
    ("large_string", pa.large_string(), ["a", "b"], ["a", "b"]),
    ("json", pa.json_(), ["a", 1, [True]], ['"a"', "1", "[true]"]),
    ("large list", pa.large_list(pa.int16()), [[1, 2]], [[1, 2]]),
    ("struct selects", pa.struct([("a", pa.string())]), [{"a": "x", "b": 1}], [{"a": "x"}]),
    ("struct of list", pa.struct([("a", pa.list_(pa.float64()))]), [{"a": [1, 2.5]}],
     [{"a": [1.0, 2.5]}]),
]


@pytest.mark.parametrize("arrow_type, values, expected", [case[1:] for case in GIVEN],
                         ids=[case[0] for case in GIVEN])
def test_schema_given(arrow_type, values, expected):
    schema = pa.schema([("c", arrow_type)])
    source = lines(*({"v": v} for v in values))
    table = IDENTITY.table(source, columns={"c": ".v"}, schema=schema)
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=r"column 'c', row \d+: " + expected.replace("[", r"\[")):
            read(table)
        nulls = read(IDENTITY.table(source, columns={"c": ".v"}, schema=schema, mismatch="null"))
        assert None in nulls.column("c").to_pylist()
        return
    result = read(table)
    assert result.schema == schema
    assert result.column("c").to_pylist() == expected


def test_schema_given_by_key_chooses_the_columns():
    schema = pa.schema([("b", pa.string()), ("a", pa.float64())])
    result = read(IDENTITY.table(lines({"a": 1, "b": "x", "z": 0}, {"a": 2}), schema=schema))
    assert result.schema == schema
    assert result.to_pylist() == [{"b": "x", "a": 1.0}, {"b": None, "a": 2.0}]


BAD_ARGUMENTS = [
    # id, keyword arguments, exception, message
    ("columns not a dict", {"columns": [".a"]}, TypeError, "columns must be a dict"),
    ("columns empty", {"columns": {}}, ValueError, "columns is empty"),
    ("a column query not a str", {"columns": {"a": 1}}, TypeError, "str queries"),
    ("a column query bad", {"columns": {"a": "select("}}, ValueError, "Invalid query syntax"),
    ("schema not a schema", {"schema": 1}, TypeError, "schema must be an Arrow schema"),
    ("schema of another type", {"schema": pa.schema([("a", pa.timestamp("s"))])}, TypeError,
     "Arrow type 'tss:'"),
    ("schema without a column", {"columns": {"a": ".a"}, "schema": pa.schema([("b", pa.int8())])},
     ValueError, "schema has no field 'a'"),
    ("schema with another field", {"columns": {"a": ".a"},
                                   "schema": pa.schema([("a", pa.int8()), ("b", pa.int8())])},
     ValueError, "a field 'b' that columns does not name"),
    ("mismatch", {"mismatch": "widen"}, ValueError, "mismatch must be 'raise' or 'null'"),
    ("batch_rows zero", {"batch_rows": 0}, ValueError, "batch_rows must be 1 or more"),
    ("batch_rows not an int", {"batch_rows": 1.5}, TypeError, "batch_rows must be an int"),
    ("errors", {"errors": "ignore"}, ValueError, "errors"),
    ("threads", {"threads": 0}, ValueError, "threads must be 1 to"),
]


@pytest.mark.parametrize("kwargs, kind, message", [case[1:] for case in BAD_ARGUMENTS],
                         ids=[case[0] for case in BAD_ARGUMENTS])
def test_bad_arguments(kwargs, kind, message):
    with pytest.raises(kind, match=message.replace("[", r"\[")) as error:
        IDENTITY.table("{}", **kwargs)
    if kwargs.get("columns") == {"a": "select("}:
        assert "in the query of column 'a'" in error.value.__notes__


def test_bad_sources():
    with pytest.raises(TypeError, match="an Arrow string column is required, not 'int'"):
        IDENTITY.table(5)
    with pytest.raises(TypeError, match="Arrow type 'l'"):
        IDENTITY.table(pa.array([1, 2]))
    with pytest.raises(TypeError, match="item 1 is 'int'"):
        IDENTITY.table(["{}", 5]).__arrow_c_array__()
    # Read as a stream, the consumer gives the error's text in an exception
    # of its own.
    with pytest.raises(OSError, match="TypeError: argument 'source': item 1 is 'int'"):
        read(IDENTITY.table(["{}", 5]))


# --- sources ----------------------------------------------------------------------

DOCS = [{"id": i, "name": "n%d" % i} for i in range(5)]
TEXT = lines(*DOCS)
EXPECTED = [{"id": d["id"]} for d in DOCS]


def path_source(tmp_path):
    path = tmp_path / "docs.jsonl"
    path.write_text(TEXT)
    return path


SOURCES = [
    ("str", lambda tmp: TEXT),
    ("bytes", lambda tmp: TEXT.encode()),
    ("bytearray", lambda tmp: bytearray(TEXT.encode())),
    ("file object", lambda tmp: io.BytesIO(TEXT.encode())),
    ("path", path_source),
    ("list", lambda tmp: [json.dumps(d) for d in DOCS]),
    ("tuple of bytes", lambda tmp: tuple(json.dumps(d).encode() for d in DOCS)),
    ("generator", lambda tmp: (json.dumps(d) for d in DOCS)),
    ("pyarrow array", lambda tmp: pa.array([json.dumps(d) for d in DOCS])),
    ("large_string array", lambda tmp: pa.array([json.dumps(d) for d in DOCS], pa.large_string())),
    ("string_view array", lambda tmp: pa.array([json.dumps(d) for d in DOCS], pa.string_view())),
    ("chunked array", lambda tmp: pa.chunked_array([[json.dumps(d) for d in DOCS[:2]],
                                                    [json.dumps(d) for d in DOCS[2:]]])),
    ("sliced array", lambda tmp: pa.array(["x"] + [json.dumps(d) for d in DOCS] + ["y"])[1:-1]),
    ("table of one column", lambda tmp: pa.table({"j": [json.dumps(d) for d in DOCS]})),
]


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("make", [case[1] for case in SOURCES], ids=[case[0] for case in SOURCES])
def test_sources(make, threads, tmp_path, monkeypatch):
    monkeypatch.setenv("TAMSEL_VONK_PIECE_BYTES", "20")
    table = IDENTITY.table(make(tmp_path), columns={"id": ".id"}, threads=threads)
    assert read(table).to_pylist() == EXPECTED


def test_arrow_column_nulls_in_give_nulls_out():
    column = pa.array(['{"a": 1}', None, '{"a": 3}'])
    assert read(IDENTITY.table(column, columns={"a": ".a"})).column("a").to_pylist() == [1, None, 3]
    assert read(IDENTITY.table([None, '{"a": 2}'])).to_pylist() == [{"a": None}, {"a": 2}]


def test_polars_column_as_source():
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame({"j": [json.dumps(d) for d in DOCS] + [None]})
    result = pl.DataFrame(IDENTITY.table(frame["j"], columns={"name": ".name"}))
    assert result["name"].to_list() == [d["name"] for d in DOCS] + [None]


def test_lines():
    source = '{"a": 1}\n\n{"a":\n'
    with pytest.raises(ValueError):
        read(IDENTITY.table(source, lines=True))
    assert read(IDENTITY.table('{"a": 1}\n\n{"a": 2}', lines=True)).to_pylist() == [{"a": 1}, {"a": 2}]


# --- bad texts --------------------------------------------------------------------

def test_a_bad_text_raises_after_the_rows_before_it():
    source = '{"a": 1}\n{"a": 2}\n{"a": \n{"a": 4}'
    table = IDENTITY.table(source, columns={"a": ".a"}, batch_rows=1)
    reader = pa.RecordBatchReader._import_from_c_capsule(table.__arrow_c_stream__())
    assert [reader.read_next_batch().num_rows for _ in range(2)] == [1, 1]
    with pytest.raises(ValueError, match=r"TamselTextError: text 2 at byte 18 \(line 3\)"):
        reader.read_next_batch()
    with pytest.raises(TamselTextError, match="text 2"):
        IDENTITY.table(source).__arrow_c_array__()


@pytest.mark.parametrize("threads", [1, 2])
def test_bad_texts_skipped(threads, monkeypatch):
    monkeypatch.setenv("TAMSEL_VONK_PIECE_BYTES", "16")
    source = '{"a": 1}\n{"a": \n{"a": 3}\n[}\n{"a": 5}'
    table = IDENTITY.table(source, columns={"a": ".a"}, errors="skip", threads=threads,
                           lines=True)
    assert read(table).column("a").to_pylist() == [1, 3, 5]
    assert [(type(e), e.index, e.line) for e in table.skipped] == [
        (TamselTextError, 1, 2), (TamselTextError, 3, 4)]
    documents = IDENTITY.table(['{"a": 1}', "nope", '{"a": 3}'], errors="skip")
    assert read(documents).to_pylist() == [{"a": 1}, {"a": 3}]
    assert [e.index for e in documents.skipped] == [1]


def test_a_source_that_fails():
    def documents():
        yield '{"a": 1}'
        raise OSError("gone")
    with pytest.raises(OSError, match="gone"):
        IDENTITY.table(documents()).__arrow_c_array__()


# --- reading a table: once, whole or in batches -----------------------------------

def test_empty_source():
    result = read(IDENTITY.table("", columns={"a": ".a"}))
    assert (result.num_rows, types_of(result)) == (0, {"a": "null"})
    assert read(IDENTITY.table("")).num_columns == 0
    schema = pa.schema([("a", pa.string())])
    assert read(IDENTITY.table(b"", columns={"a": ".a"}, schema=schema)).schema == schema
    one = pa.array(IDENTITY.table([], columns={"a": ".a"}))
    assert (len(one), str(one.type)) == (0, "struct<a: null>")


def test_read_once():
    table = IDENTITY.table(TEXT, columns={"id": ".id"})
    read(table)
    with pytest.raises(RuntimeError, match="read already"):
        read(table)
    with pytest.raises(RuntimeError, match="read already"):
        table.__arrow_c_array__()


def test_a_capsule_released_unread_leaves_the_table_to_read():
    table = IDENTITY.table(TEXT, columns={"id": ".id"})
    schema = pa.schema(table)  # __arrow_c_schema__
    del schema
    capsule = table.__arrow_c_stream__()
    del capsule
    reader = pa.RecordBatchReader._import_from_c_capsule(table.__arrow_c_stream__())
    del reader  # imported, and released unread
    assert read(table).to_pylist() == EXPECTED


def test_one_array_of_every_batch():
    table = IDENTITY.table(TEXT, columns={"id": ".id", "name": ".name"}, batch_rows=2)
    schema_capsule, array_capsule = table.__arrow_c_array__()
    array = pa.Array._import_from_c_capsule(schema_capsule, array_capsule)
    array.validate(full=True)
    assert array.to_pylist() == [{"id": d["id"], "name": d["name"]} for d in DOCS]


def test_batches():
    table = IDENTITY.table(lines(*({"i": i} for i in range(10))), columns={"i": ".i"},
                           batch_rows=4)
    batches = list(pa.RecordBatchReader._import_from_c_capsule(table.__arrow_c_stream__()))
    assert [b.num_rows for b in batches] == [4, 4, 2]
    for batch in batches:
        batch.validate(full=True)


@pytest.mark.parametrize("threads", [2, 4])
def test_threads_give_what_one_thread_gives(threads, monkeypatch):
    monkeypatch.setenv("TAMSEL_VONK_PIECE_BYTES", "300")
    docs = [{"id": i, "v": [i] * (i % 4), "s": "x" * (i % 7)} for i in range(400)]
    source = lines(*docs)
    columns = {"id": ".id", "v": ".v", "s": ".s"}
    alone = read(IDENTITY.table(source, columns=columns))
    reader = pa.RecordBatchReader._import_from_c_capsule(
        IDENTITY.table(source, columns=columns, threads=threads).__arrow_c_stream__())
    batches = list(reader)
    assert len(batches) > 1
    assert pa.Table.from_batches(batches).equals(alone)


def test_close_and_with():
    with IDENTITY.table(TEXT) as table:
        pass
    with pytest.raises(RuntimeError, match="closed"):
        table.__arrow_c_schema__()
    assert isinstance(table, TamselTable)
    with pytest.raises(TypeError):
        TamselTable()


def test_large_source_in_bounded_memory():
    # 1 GiB of JSON Lines from a file object that gives the same chunk again
    # and again, read batch by batch and dropped: memory holds a batch or two.
    script = textwrap.dedent("""
        import json, resource, pyarrow as pa, tamsel_vonk
        line = (json.dumps({"id": "x" * 40, "type": "PushEvent", "n": 7, "pad": "p" * 900}) + "\\n").encode()
        chunk = line * ((1 << 20) // len(line))
        class Source:
            left, at = (1 << 30) // len(chunk) * len(chunk), 0
            def read(self, n):
                data = chunk[self.at:self.at + min(n, self.left)]
                self.at = (self.at + len(data)) % len(chunk)
                self.left -= len(data)
                return data
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        table = tamsel_vonk.compile(".").table(Source(), columns={"id": ".id", "n": ".n"}, threads=2)
        rows = 0
        for batch in pa.RecordBatchReader._import_from_c_capsule(table.__arrow_c_stream__()):
            rows += batch.num_rows
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(rows, (1 << 30) // len(chunk) * (len(chunk) // len(line)), (after - before) // 1024)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    rows, expected, grown_mib = map(int, out.stdout.split())
    assert rows == expected
    assert grown_mib < 64


# --- the consumers ----------------------------------------------------------------

EVENTS = [{"id": str(i), "type": ["PushEvent", "WatchEvent"][i % 2],
           "actor": {"login": "u%d" % (i % 3)}, "payload": {"size": i}} for i in range(9)]
EVENT_COLUMNS = {"id": ".id", "type": ".type", "login": ".actor.login", "size": ".payload.size"}


def test_polars():
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame(IDENTITY.table(lines(*EVENTS), columns=EVENT_COLUMNS))
    assert frame.schema == {"id": pl.String, "type": pl.String, "login": pl.String,
                            "size": pl.Int64}
    assert frame["size"].sum() == sum(range(9))


def test_duckdb():
    duckdb = pytest.importorskip("duckdb")
    events = IDENTITY.table(lines(*EVENTS), columns=EVENT_COLUMNS)
    got = duckdb.sql("SELECT login, count(*) AS n FROM events WHERE type = 'PushEvent' "
                     "GROUP BY login ORDER BY login").fetchall()
    assert got == [("u0", 2), ("u1", 1), ("u2", 2)]


def test_pandas():
    pd = pytest.importorskip("pandas")
    if not hasattr(pd.DataFrame, "from_arrow"):
        pytest.skip("pandas reads Arrow streams itself from 3.0 on")
    frame = pd.DataFrame.from_arrow(IDENTITY.table(lines(*EVENTS), columns=EVENT_COLUMNS))
    assert list(frame.columns) == list(EVENT_COLUMNS)
    assert frame["size"].tolist() == list(range(9))


def test_parquet(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    path = tmp_path / "events.parquet"
    pq.write_table(read(IDENTITY.table(lines(*EVENTS), columns=EVENT_COLUMNS)), path)
    assert pq.read_table(path).column("login").to_pylist() == [e["actor"]["login"] for e in EVENTS]
