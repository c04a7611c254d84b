"""What a register map describes, independent of any device: fields, registers, blocks, arrays.

Every object here is immutable and compares by value, so two maps loaded from different source
formats can be compared directly. Offsets are bytes from the start of the map; binding adds a base.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Union


class RegisterMapError(Exception):
    """A register map cannot be loaded, or a register cannot be used as asked."""


class MapLoadError(RegisterMapError):
    """The map file does not compile, or describes something a device cannot reach."""


class AccessError(RegisterMapError):
    """The description forbids this access: writing a read-only field, reading a write-only one."""


class DeviceCallError(RegisterMapError):
    """A device call returned Failure (or no value)."""


@dataclass(frozen=True)
class EnumValue:
    """One named value of an encoded field."""

    name: str
    value: int
    description: str = ""


@dataclass(frozen=True)
class FieldInfo:
    """A run of bits in a register.

    `access` is the software access as written in the description ("rw", "r", "w", "rw1", "w1");
    `on_write` and `on_read` name a side effect ("woclr", "woset", "wot", "wclr", "wset",
    "wzc", "wzs", "wzt", "wuser"; "rclr", "rset", "ruser"), or are None for plain storage.
    `reset` is None when the description gives no constant reset value.
    """

    name: str
    lsb: int
    width: int
    access: str
    readable: bool
    writable: bool
    on_write: str | None = None
    on_read: str | None = None
    reset: int | None = None
    encoding: tuple[EnumValue, ...] = ()
    description: str = ""
    display_name: str = ""

    @property
    def msb(self) -> int:
        return self.lsb + self.width - 1

    @property
    def max_value(self) -> int:
        return (1 << self.width) - 1

    @property
    def mask(self) -> int:
        """The field's bits in its register."""
        return self.max_value << self.lsb

    def encode(self, value: int | str) -> int:
        """The raw field value of an int or of an enum name; raises ValueError if out of range."""
        if isinstance(value, str):
            for member in self.encoding:
                if member.name == value:
                    return member.value
            names = ", ".join(m.name for m in self.encoding) or "none: the field is not encoded"
            raise ValueError(f"{self.name}: no value named {value!r} (names: {names})")
        if not isinstance(value, int):  # bools are ints: `reg.enable = True` writes 1
            raise TypeError(f"{self.name}: a field value is an int or an enum name, "
                            f"not {type(value).__name__}")
        if not 0 <= value <= self.max_value:
            raise ValueError(f"{self.name}: {value} does not fit in {self.width} bit(s)")
        return value

    def decode(self, raw: int) -> int | str:
        """The enum name of a raw field value when the field is encoded and names it, else the
        value itself."""
        for member in self.encoding:
            if member.value == raw:
                return member.name
        return raw

    def extract(self, register_value: int) -> int:
        """This field's raw value out of its register's value."""
        return (register_value >> self.lsb) & self.max_value


@dataclass(frozen=True)
class RegisterInfo:
    """A register: its path below the map's top ("blk.chan[2]"), offset and fields (by lsb)."""

    path: str
    name: str
    offset: int
    width: int
    fields: tuple[FieldInfo, ...]
    description: str = ""
    display_name: str = ""

    def field(self, name: str) -> FieldInfo:
        for f in self.fields:
            if f.name == name:
                return f
        raise KeyError(f"register {self.path} has no field {name!r} "
                       f"(fields: {', '.join(f.name for f in self.fields)})")

    @property
    def readable(self) -> bool:
        return any(f.readable for f in self.fields)

    @property
    def writable(self) -> bool:
        return any(f.writable for f in self.fields)

    @property
    def read_has_side_effects(self) -> bool:
        """Reading changes the register (a read-to-clear counter, for example)."""
        return any(f.on_read is not None for f in self.fields)

    @property
    def readable_mask(self) -> int:
        return _mask_of(f for f in self.fields if f.readable)

    @property
    def writable_mask(self) -> int:
        return _mask_of(f for f in self.fields if f.writable)

    @property
    def reset(self) -> int:
        """The register's value after reset; bits without a reset value read as 0 here."""
        value = 0
        for f in self.fields:
            if f.reset is not None:
                value |= f.reset << f.lsb
        return value

    @property
    def reset_mask(self) -> int:
        """The bits whose reset value the description gives."""
        return _mask_of(f for f in self.fields if f.reset is not None)


@dataclass(frozen=True)
class ArrayInfo:
    """An array of registers or blocks; `elements` in index order (one dimension per level)."""

    name: str
    elements: tuple[Node, ...]


@dataclass(frozen=True)
class BlockInfo:
    """An address map or register file: named children in address order."""

    name: str
    children: tuple[Node, ...] = field(default=())
    description: str = ""

    def child(self, name: str) -> Node:
        for c in self.children:
            if c.name == name:
                return c
        raise KeyError(f"{self.name or 'the map'} has no {name!r} "
                       f"(children: {', '.join(c.name for c in self.children)})")


Node = Union[RegisterInfo, BlockInfo, ArrayInfo]


def _mask_of(fields: Iterable[FieldInfo]) -> int:
    mask = 0
    for f in fields:
        mask |= f.mask
    return mask
