"""Typed use of the module; type-checked by tests/test_typing.py, never run."""
from typing import Any, Iterator, List, Optional

import tamsel_vonk
from tamsel_vonk import PanicException, TamselProgram, TamselVonkIter


def titles(program: TamselProgram, documents: List[str]) -> List[str]:
    found: List[str] = []
    for text in documents:
        results: TamselVonkIter = program.input(json_text=text)
        iterator: Iterator[Any] = iter(results)
        found.extend(str(result) for result in iterator)
    return found


def first_or_default(query: str, text: str, default: int) -> Any:
    program = tamsel_vonk.compile(query=query)
    try:
        value: Optional[Any] = program.first(text)
    except PanicException:
        return default
    return default if value is None else value


def next_result(results: TamselVonkIter) -> Any:
    return next(results)


fault: BaseException = PanicException("message")
print(titles(tamsel_vonk.compile(".title"), ['{"title": "x"}']), first_or_default(".", "1", 0))


def from_bytes(program: TamselProgram, data: bytes, view: memoryview) -> List[Any]:
    return [program.first_bytes(data), *program.input_bytes(json_bytes=view)]


version: str = tamsel_vonk.__version__
