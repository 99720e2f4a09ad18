"""The module's surface: members, classes, argument checking."""
import inspect

import pytest

import tamsel_vonk
from tamsel_vonk import PanicException, TamselProgram, TamselVonkIter, compile


def test_exported_names_in_order():
    assert tamsel_vonk.__all__ == ["compile", "TamselProgram", "TamselVonkIter"]


def test_panic_exception_derives_directly_from_base_exception():
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)


def test_text_signatures():
    assert str(inspect.signature(compile)) == "(query)"
    assert TamselProgram.input.__text_signature__ == "($self, json_text)"
    assert TamselProgram.first.__text_signature__ == "($self, json_text)"
    assert TamselProgram.input.__doc__ is None and TamselProgram.first.__doc__ is None


RESULT_FORM = "as_json=False, indent=None"
MANY_TEXTS = f"first=False, errors='raise', {RESULT_FORM}, threads=1"


@pytest.mark.parametrize("method, signature", [
    (TamselProgram.input_bytes, f"(self, /, json_bytes, *, {RESULT_FORM})"),
    (TamselProgram.first_bytes, f"(self, /, json_bytes, *, {RESULT_FORM})"),
    (TamselProgram.stream,
     f"(self, /, source, *, lines=False, per_text=False, {MANY_TEXTS}, decompress=True, "
     "elements=None)"),
    (TamselProgram.batch, f"(self, /, texts, *, {MANY_TEXTS})"),
])
def test_the_other_methods_show_every_option(method, signature):
    assert str(inspect.signature(method)) == signature
    assert len(inspect.getdoc(method).splitlines()) > 3  # more than a line for help()


@pytest.mark.parametrize("name", ["TamselStream", "PanicException", "TamselTextError"])
def test_the_classes_beside_the_exported_ones_have_documentation(name):
    assert name not in tamsel_vonk.__all__
    assert len(inspect.getdoc(getattr(tamsel_vonk, name)).splitlines()) > 3


@pytest.mark.parametrize("cls", [TamselProgram, TamselVonkIter])
def test_classes_cannot_be_instantiated(cls):
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls(1, x=2)


def test_instances_have_no_dict_or_weakref():
    program = compile(".")
    with pytest.raises(AttributeError):
        program.x = 1
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(program)


def test_reimport_gives_the_same_module():
    import importlib
    import sys

    module = sys.modules["tamsel_vonk"]
    assert importlib.import_module("tamsel_vonk") is module


class Text(str):
    pass


PROGRAM = compile(".")
ARGUMENT_ERRORS = [
    (lambda: compile(), "compile() missing 1 required positional argument: 'query'"),
    (lambda: compile(".", "."), "compile() takes 1 positional arguments but 2 were given"),
    (lambda: compile(".", ".", "."), "compile() takes 1 positional arguments but 3 were given"),
    (lambda: compile(b"."), "argument 'query': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: compile(None), "argument 'query': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: compile(q="."), "compile() got an unexpected keyword argument 'q'"),
    (lambda: compile(".", query="."), "compile() got multiple values for argument 'query'"),
    (lambda: PROGRAM.input(), "TamselProgram.input() missing 1 required positional argument: 'json_text'"),
    (lambda: PROGRAM.first(), "TamselProgram.first() missing 1 required positional argument: 'json_text'"),
    (lambda: PROGRAM.input("1", "2"), "TamselProgram.input() takes 1 positional arguments but 2 were given"),
    (lambda: PROGRAM.first(text="1"), "TamselProgram.first() got an unexpected keyword argument 'text'"),
    (lambda: PROGRAM.input("1", json_text="1"), "TamselProgram.input() got multiple values for argument 'json_text'"),
    (lambda: PROGRAM.input(1), "argument 'json_text': 'int' object cannot be converted to 'PyString'"),
    (lambda: PROGRAM.first(bytearray(b"1")), "argument 'json_text': 'bytearray' object cannot be converted to 'PyString'"),
    (lambda: TamselProgram.input(PROGRAM, []), "argument 'json_text': 'list' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_qualified_type_name_in_argument_error():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError, match=r"'test_qualified_type_name_in_argument_error.<locals>.Outer.Inner' object"):
        compile(Outer.Inner())


def test_keywords_and_str_subclasses_accepted():
    program = compile(query=Text(".a"))
    assert program.first(json_text=Text('{"a": 1}')) == 1
    assert list(program.input(json_text='{"a": 2}')) == [2]


@pytest.mark.parametrize("call", [lambda: compile("\ud800"), lambda: PROGRAM.input('"\udfff"')])
def test_lone_surrogates_raise_unicode_encode_error(call):
    with pytest.raises(UnicodeEncodeError):
        call()


@pytest.mark.parametrize("query", [".a", '"q" | tostring', 'select(.x == "\\u00e9")'])
def test_programs_pickle_copy_and_show_their_query(query):
    import copy
    import pickle

    program = compile(query)
    assert repr(program) == f"tamsel_vonk.compile({query!r})"
    for clone in (pickle.loads(pickle.dumps(program)), copy.deepcopy(program), copy.copy(program)):
        assert type(clone) is TamselProgram and repr(clone) == repr(program)
    assert repr(compile(Text(query))) == repr(program)


def test_version_is_not_exported():
    assert isinstance(tamsel_vonk.__version__, str) and tamsel_vonk.__version__
    assert "__version__" not in tamsel_vonk.__all__
