"""A register map bound to a device: registers and fields that read and write themselves.

Only the public Device API is used, so any device works: a plug-in's, a remote one, a Python
subclass. Every field write is one masked register write: the device applies the mask, so no
other field's bits are touched and nothing is read back first (a write-1-to-clear bit next to
the field stays as it is).

    field.write(v)   one set_register_sync, at once
    field.set(v)     staged: inside `with regs.staged():` it joins the block's single
                     send_registers(); outside, it is staged on the device (set_register) and
                     goes out with the next send_registers() (`regs.send()`)
    reg.field = v    set() inside a staged() block, write() outside

A bound map is not thread-safe: use one per thread, or a lock around it.
"""

from __future__ import annotations

import operator
import re
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, SupportsIndex, TextIO

from pyvorn_device import Device, ReturnCode

from pyvorn_device_tools.regmap.model import (AccessError, ArrayInfo, BlockInfo, DeviceCallError,
                                              FieldInfo, Node, RegisterInfo, RegisterMapError)
from pyvorn_device_tools.regmap.table import render

WORD = 0xFFFF_FFFF


class _Binding:
    """What every bound object of one bind() shares: the device, the base, the open stage."""

    def __init__(self, device: Device, base: int) -> None:
        self.device = device
        self.base = base
        self.pending: dict[int, tuple[int, int]] | None = None  # address -> (value, mask)
        self.depth = 0

    def fetch(self, address: int, what: str) -> int:
        value = self.device.get_register_sync(address)
        if value is None:
            raise DeviceCallError(f"reading {what} at {address:#x}: get_register_sync failed")
        return value

    def write(self, address: int, value: int, mask: int, what: str) -> None:
        if self.device.set_register_sync(address, value, mask) != ReturnCode.Success:
            raise DeviceCallError(f"writing {what} at {address:#x}: set_register_sync failed")

    def stage(self, address: int, value: int, mask: int, what: str) -> None:
        if self.pending is None:
            if self.device.set_register(address, value, mask) != ReturnCode.Success:
                raise DeviceCallError(f"staging {what} at {address:#x}: set_register failed")
            return
        old_value, old_mask = self.pending.get(address, (0, 0))
        self.pending[address] = ((old_value & ~mask) | (value & mask), old_mask | mask)

    def send(self) -> None:
        if self.device.send_registers() != ReturnCode.Success:
            raise DeviceCallError("send_registers failed")

    @contextmanager
    def staged(self) -> Iterator[None]:
        outer = self.pending
        self.pending = {} if outer is None else dict(outer)
        self.depth += 1
        try:
            yield
        except BaseException:
            self.pending = outer  # nothing of a failed block reaches the device
            raise
        finally:
            self.depth -= 1
        if self.depth > 0:
            return  # the outermost block sends
        pending, self.pending = self.pending or {}, None
        for address in sorted(pending):
            value, mask = pending[address]
            if self.device.set_register(address, value, mask) != ReturnCode.Success:
                raise DeviceCallError(f"staging {address:#x}: set_register failed; "
                                      "nothing was sent")
        if pending:
            self.send()


class BoundField:
    """One field of a bound register."""

    __slots__ = ("info", "register")

    def __init__(self, info: FieldInfo, register: BoundRegister) -> None:
        self.info = info
        self.register = register

    @property
    def name(self) -> str:
        return self.info.name

    @property
    def path(self) -> str:
        return f"{self.register.path}.{self.info.name}"

    def read(self) -> int:
        """The field's raw value: one fetch of its register."""
        if not self.info.readable:
            raise AccessError(f"field {self.path} is write-only")
        return self.info.extract(self.register._fetch())

    def read_decoded(self) -> int | str:
        """The field's value, as its enum name when it is encoded and the value has one."""
        return self.info.decode(self.read())

    def _masked(self, value: int | str) -> tuple[int, int]:
        if not self.info.writable:
            raise AccessError(f"field {self.path} is read-only")
        return self.info.encode(value) << self.info.lsb, self.info.mask

    def write(self, value: int | str) -> None:
        """One masked write at once (an int, or an enum name); other fields are untouched."""
        shifted, mask = self._masked(value)
        self.register._binding.write(self.register.address, shifted, mask, self.path)

    def set(self, value: int | str) -> None:
        """Stage a masked write (see the module's notes on staged())."""
        shifted, mask = self._masked(value)
        self.register._binding.stage(self.register.address, shifted, mask, self.path)

    def __repr__(self) -> str:
        return (f"<field {self.path} [{self.info.msb}:{self.info.lsb}] {self.info.access}"
                f"{' ' + self.info.on_write if self.info.on_write else ''}>")


class BoundRegister:
    """A register of a bound map; its fields are attributes (`reg.enable`) and items
    (`reg["read"]`: a field whose name is taken by a method or attribute is an item only)."""

    __slots__ = ("info", "address", "_binding", "_fields")

    def __init__(self, info: RegisterInfo, binding: _Binding) -> None:
        object.__setattr__(self, "info", info)
        object.__setattr__(self, "address", binding.base + info.offset)
        object.__setattr__(self, "_binding", binding)
        object.__setattr__(self, "_fields", {f.name: BoundField(f, self) for f in info.fields})

    info: RegisterInfo
    address: int
    _binding: _Binding
    _fields: dict[str, BoundField]

    # Few attributes of its own, so that few field names are shadowed (name, reset, ... are
    # in `info`).
    @property
    def path(self) -> str:
        return self.info.path

    @property
    def fields(self) -> dict[str, BoundField]:
        return dict(self._fields)

    def _fetch(self) -> int:
        return self._binding.fetch(self.address, self.path) & ((1 << self.info.width) - 1)

    def read(self) -> int:
        """The register's value: one fetch."""
        if not self.info.readable:
            raise AccessError(f"register {self.path} is write-only")
        return self._fetch()

    def read_fields(self) -> dict[str, int | str]:
        """Every readable field, decoded (enum names where the field has them): one fetch."""
        value = self.read()
        return {f.name: f.decode(f.extract(value)) for f in self.info.fields if f.readable}

    def _masked(self, value: int) -> tuple[int, int]:
        if not self.info.writable:
            raise AccessError(f"register {self.path} is read-only")
        if not isinstance(value, int):
            raise TypeError(f"{self.path}: a register value is an int")
        if not 0 <= value < (1 << self.info.width):
            raise ValueError(f"{self.path}: {value} does not fit in {self.info.width} bits")
        return value, self.info.writable_mask

    def write(self, value: int) -> None:
        """Write every writable field at once; read-only bits in `value` are ignored."""
        value, mask = self._masked(value)
        self._binding.write(self.address, value, mask, self.path)

    def set(self, value: int) -> None:
        """Stage a write of every writable field (see the module's notes on staged())."""
        value, mask = self._masked(value)
        self._binding.stage(self.address, value, mask, self.path)

    def assign(self, value: int) -> None:
        """set() inside a staged() block, write() outside."""
        (self.set if self._binding.pending is not None else self.write)(value)

    def __getattr__(self, name: str) -> BoundField:
        if name.startswith("_"):  # not a field; and no recursion before __init__ ran
            raise AttributeError(name)
        try:
            return self._fields[name]
        except KeyError:
            raise AttributeError(f"register {self.path} has no field {name!r}") from None

    def __getitem__(self, name: str) -> BoundField:
        try:
            return self._fields[name]
        except KeyError:
            raise KeyError(f"register {self.path} has no field {name!r}") from None

    def __setattr__(self, name: str, value: int | str) -> None:
        field = self._fields.get(name)
        if field is None:
            raise AttributeError(f"register {self.path} has no field {name!r}")
        (field.set if self._binding.pending is not None else field.write)(value)

    def __dir__(self) -> list[str]:
        return sorted(set(super().__dir__()) | set(self._fields))

    def __repr__(self) -> str:
        return f"<register {self.path} @ {self.address:#010x}: {', '.join(self._fields)}>"


class BoundArray:
    """An array of registers or blocks, indexed like a Python sequence."""

    __slots__ = ("info", "_elements")

    def __init__(self, info: ArrayInfo, binding: _Binding) -> None:
        self.info = info
        self._elements = [_bind_node(e, binding) for e in info.elements]

    def __len__(self) -> int:
        return len(self._elements)

    def __getitem__(self, index: SupportsIndex) -> Any:
        return self._elements[operator.index(index)]

    def __iter__(self) -> Iterator[Any]:
        return iter(self._elements)

    def __repr__(self) -> str:
        return f"<array {self.info.name}[{len(self)}]>"


_SEGMENT = re.compile(r"(\w+)((?:\[-?\d+\])*)$")


class BoundBlock:
    """An address map or register file of a bound map: its registers, blocks and arrays are
    attributes (`regs.ctrl`) and items (`regs["send"]`: a name taken by a method or attribute
    is an item only). The object `bind()` returns is one."""

    __slots__ = ("info", "_binding", "_children")

    def __init__(self, info: BlockInfo, binding: _Binding) -> None:
        object.__setattr__(self, "info", info)
        object.__setattr__(self, "_binding", binding)
        object.__setattr__(self, "_children",
                           {c.name: _bind_node(c, binding) for c in info.children})

    info: BlockInfo
    _binding: _Binding
    _children: dict[str, Any]

    @property
    def device(self) -> Device:
        return self._binding.device

    @property
    def base(self) -> int:
        return self._binding.base

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_"):  # not a child; and no recursion before __init__ ran
            raise AttributeError(name)
        try:
            return self._children[name]
        except KeyError:
            raise AttributeError(f"{self.info.name or 'the map'} has no {name!r}") from None

    def __getitem__(self, name: str) -> Any:
        try:
            return self._children[name]
        except KeyError:
            raise KeyError(f"{self.info.name or 'the map'} has no {name!r}") from None

    def __setattr__(self, name: str, value: int) -> None:
        child = self._children.get(name)
        if not isinstance(child, BoundRegister):
            raise AttributeError(f"{self.info.name or 'the map'} has no register {name!r}")
        child.assign(value)

    def __dir__(self) -> list[str]:
        return sorted(set(super().__dir__()) | set(self._children))

    def __repr__(self) -> str:
        return f"<block {self.info.name or '(top)'}: {', '.join(self._children)}>"

    @contextmanager
    def staged(self) -> Iterator[None]:
        """Collect every set() (and field assignment) of the block, then stage them, one
        set_register per register, and send them in one send_registers() at its end. If the
        block raises, nothing is staged or sent. Blocks nest: the outermost one sends."""
        with self._binding.staged():
            yield

    def send(self) -> None:
        """send_registers(): what set() staged outside a staged() block goes out."""
        self._binding.send()

    def registers(self) -> Iterator[BoundRegister]:
        """Every register below this block, array elements expanded, in description order."""
        for child in self._children.values():
            yield from _registers_of(child)

    def lookup(self, path: str) -> BoundRegister | BoundField:
        """The register or field at a path such as "blk.chan[2].gain"."""
        node: Any = self
        for segment in path.split("."):
            match = _SEGMENT.match(segment)
            if match is None:
                raise KeyError(f"{path!r}: {segment!r} is not a name")
            name, indices = match.groups()
            try:
                node = node[name]
                for index in re.findall(r"-?\d+", indices):
                    if not isinstance(node, BoundArray):
                        raise KeyError(f"{path!r}: {name} is not an array")
                    node = node[int(index)]
            except (IndexError, TypeError) as e:
                raise KeyError(f"{path!r}: {e}") from None
        if isinstance(node, (BoundRegister, BoundField)):
            return node
        raise KeyError(f"{path!r} is a block or an array, not a register or field")

    def register(self, path: str) -> BoundRegister:
        """The register at a path (typed access for checked code)."""
        found = self.lookup(path)
        if not isinstance(found, BoundRegister):
            raise KeyError(f"{path!r} is a field, not a register")
        return found

    def field(self, path: str) -> BoundField:
        """The field at a path such as "ctrl.enable" (typed access for checked code)."""
        found = self.lookup(path)
        if not isinstance(found, BoundField):
            raise KeyError(f"{path!r} is a register, not a field")
        return found

    def read_all(self) -> list[tuple[BoundRegister, int | None]]:
        """One fetch per register that can be read without changing it; None for the others
        (write-only registers, and those whose read has a side effect such as read-to-clear)."""
        return [(r, r.read() if _passive(r.info) else None) for r in self.registers()]

    def dump(self, file: TextIO | None = None) -> None:
        """Print every register with its decoded fields (read-to-clear ones are not read)."""
        print(render(self.read_all(), colour=False), file=file or sys.stdout)


def _passive(info: RegisterInfo) -> bool:
    return info.readable and not info.read_has_side_effects


def _registers_of(node: Any) -> Iterator[BoundRegister]:
    if isinstance(node, BoundRegister):
        yield node
    elif isinstance(node, BoundArray):
        for element in node:
            yield from _registers_of(element)
    else:
        yield from node.registers()


def _bind_node(info: Node, binding: _Binding) -> Any:
    if isinstance(info, RegisterInfo):
        return BoundRegister(info, binding)
    if isinstance(info, ArrayInfo):
        return BoundArray(info, binding)
    return BoundBlock(info, binding)


def bind(root: BlockInfo, registers: tuple[RegisterInfo, ...], device: Device,
         base: int) -> BoundBlock:
    if not 0 <= base <= WORD:
        raise RegisterMapError(f"base {base:#x} is outside the 32-bit address space")
    for info in registers:
        end = base + info.offset + info.width // 8
        if end > WORD + 1:
            raise RegisterMapError(f"register {info.path} at {base + info.offset:#x} is beyond "
                                   "the 32-bit address space")
    return BoundBlock(root, _Binding(device, base))
