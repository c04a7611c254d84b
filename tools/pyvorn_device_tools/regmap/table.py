"""The register table of `vorn regs` and `dump()`: one line per register, its decoded fields.

Colour marks names and values on a terminal; a value that changed since the previous table is
highlighted (in plain text it gets a trailing '*').
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, TypeAlias

if TYPE_CHECKING:  # bound.py prints through this module
    from pyvorn_device_tools.regmap.bound import BoundRegister

BOLD, DIM, CYAN, CHANGED, RESET = "\033[1m", "\033[2m", "\033[36m", "\033[1;30;43m", "\033[0m"

Reading: TypeAlias = "tuple[BoundRegister, int | None]"


def _paint(text: str, style: str, colour: bool) -> str:
    return f"{style}{text}{RESET}" if colour else text


def _why_not_read(register: BoundRegister) -> str:
    return "(write-only)" if not register.info.readable else "(read has side effects: not read)"


def render(readings: Sequence[Reading], colour: bool,
           previous: Mapping[int, int | None] | None = None) -> str:
    """The table of `readings` (from BoundBlock.read_all()); `previous` maps addresses to the
    values of the last table, to mark what changed."""
    width = max((len(r.path) for r, _ in readings), default=0)
    lines = []
    for register, value in readings:
        name = _paint(register.path.ljust(width), BOLD, colour)
        address = _paint(f"{register.address:#010x}", DIM, colour)
        if value is None:
            lines.append(f"{name}  {address}  {_paint(_why_not_read(register), DIM, colour)}")
            continue
        old = None if previous is None else previous.get(register.address)
        changed_bits = 0 if old is None else old ^ value
        raw = f"{value:#010x}"
        raw = _mark(raw, colour) if changed_bits else _paint(raw, CYAN, colour)
        fields = []
        for f in register.info.fields:
            if not f.readable:
                continue
            text = f"{f.name}={f.decode(f.extract(value))}"
            fields.append(_mark(text, colour) if changed_bits & f.mask else text)
        lines.append(f"{name}  {address}  {raw}  {' '.join(fields)}")
    return "\n".join(lines)


def _mark(text: str, colour: bool) -> str:
    return _paint(text, CHANGED, True) if colour else text + "*"
