"""Typed use of the module; type-checked by tests/test_typing.py, never run."""
from pathlib import Path
from typing import Any, Iterator, List, Optional

import tamsel_vonk
from tamsel_vonk import PanicException, TamselProgram, TamselStream, TamselTextError, TamselVonkIter


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


def every_option(program: TamselProgram, path: Path, data: bytes) -> List[Any]:
    found: List[Any] = [program.first_bytes("1", as_json=True, indent=2),
                        *program.input_bytes(data, as_json=True, indent="\t")]
    with program.stream(path, lines=True, per_text=False, first=True, errors="skip",
                        as_json=True, indent=None, threads=2) as stream:
        found.extend(stream)
        for error in stream.skipped:
            where: Optional[int] = error.offset
            found.append((error.index, where, error.line, error.message))
    with open(path, "rb") as file:
        found.extend(program.stream(file, threads=1))
    found.extend(program.stream(memoryview(data)))
    found.extend(program.batch([data, "2", bytearray(b"3")], first=True, errors="raise",
                               as_json=False, indent=None, threads=2))
    return found


def bad_text(program: TamselProgram, texts: List[str]) -> str:
    try:
        program.batch(texts)
    except TamselTextError as error:
        index: int = error.index
        message: str = error.message
        return f"{index}: {message}"
    except PanicException as fault:
        return str(fault.message)
    return ""


stream_class: "type[TamselStream]" = TamselStream
