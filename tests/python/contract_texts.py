"""The texts callers compare byte for byte, read out of src/runtime/contract_texts.h.

    from contract_texts import TEXT
    assert caught.value.args == (TEXT.capacity_overflow,)
"""

import ast
import re
from pathlib import Path
from types import SimpleNamespace

HEADER = Path(__file__).resolve().parents[2] / "src" / "runtime" / "contract_texts.h"

# `inline constexpr char name[] = "..." "...";`, the literals possibly on several lines.
_DEFINITION = re.compile(r'inline constexpr char (\w+)\[\] =\s*((?:"(?:[^"\\]|\\.)*"\s*)+);')
_LITERAL = re.compile(r'"((?:[^"\\]|\\.)*)"')


def _decoded(literal: str) -> str:
    # The header's literals use only the escapes a Python string spells the same way.
    return ast.literal_eval(f'"{literal}"')


def read_texts(header: Path = HEADER) -> SimpleNamespace:
    source = header.read_text(encoding="utf-8")
    texts = {name: "".join(_decoded(part) for part in _LITERAL.findall(literals))
             for name, literals in _DEFINITION.findall(source)}
    if len(texts) != source.count("inline constexpr char "):
        raise ValueError(f"{header}: a definition this reader does not understand")
    return SimpleNamespace(**texts)


TEXT = read_texts()
