"""RegisterMap: a SystemRDL or IP-XACT register description, loaded once, bound to devices."""

from __future__ import annotations

import os
from collections.abc import Iterator

from pyvorn_device import Device

from pyvorn_device_tools.regmap.bound import BoundBlock, bind
from pyvorn_device_tools.regmap.model import ArrayInfo, BlockInfo, Node, RegisterInfo


class RegisterMap:
    """The registers of one top address map. Offsets are from the map's start; `bind()` places
    the map at a base address of a device."""

    def __init__(self, name: str, root: BlockInfo) -> None:
        self.name = name
        self.root = root
        self.registers: tuple[RegisterInfo, ...] = tuple(_registers_of(root))

    @classmethod
    def load(cls, path: str | os.PathLike[str], top: str | None = None) -> RegisterMap:
        """Load a SystemRDL file, or an IP-XACT file (by its .xml suffix). `top` names the
        address map to use when the file defines several (default: the last one defined).
        Raises MapLoadError naming the file, or the register that a device cannot hold."""
        # Imported here: the compiler is needed to load a map, not to use one.
        from pyvorn_device_tools.regmap import loader
        name, root = loader.load(path, top)
        return cls(name, root)

    @property
    def description(self) -> str:
        return self.root.description

    def register(self, path: str) -> RegisterInfo:
        """The register at a path below the top, such as "blk.chan[2]"."""
        for info in self.registers:
            if info.path == path:
                return info
        raise KeyError(f"{self.name} has no register {path!r}")

    def bind(self, device: Device, base: int = 0) -> BoundBlock:
        """The map on a device, at `base` (any Device: a plug-in's, a remote one, a Python
        subclass). Raises RegisterMapError if a register falls outside 32-bit addresses."""
        return bind(self.root, self.registers, device, base)

    def __repr__(self) -> str:
        return f"<RegisterMap {self.name}: {len(self.registers)} registers>"


def _registers_of(node: Node) -> Iterator[RegisterInfo]:
    if isinstance(node, RegisterInfo):
        yield node
    elif isinstance(node, ArrayInfo):
        for element in node.elements:
            yield from _registers_of(element)
    else:
        for child in node.children:
            yield from _registers_of(child)
