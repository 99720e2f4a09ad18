"""Runs one query over examples/sample.json and prints every result."""
from pathlib import Path

import tamsel_vonk

QUERY = ".books.[] | select(.price < 10) | {title: .title, author: .author}"

text = (Path(__file__).parent / "sample.json").read_text(encoding="utf-8")
program = tamsel_vonk.compile(QUERY)
print(f"query: {QUERY}")
for result in program.input(text):
    print(result)
