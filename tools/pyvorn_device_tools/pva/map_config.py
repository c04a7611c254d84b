"""The PVs of a register map: each register as PREFIX<path> and each field as
PREFIX<path>:<field>, where a path's '.' becomes ':' (blk.chan[2] -> blk:chan[2])."""

import os

from pyvorn_device_tools.pva.config import BitsConfig
from pyvorn_device_tools.regmap import RegisterMap
from pyvorn_device_tools.regmap.model import RegisterInfo


def register_bits(info: RegisterInfo, base: int) -> list[BitsConfig]:
    addr = base + info.offset
    if addr + info.width // 8 > 1 << 32:
        raise ValueError(f"register {info.path} at {addr:#x} is outside 32-bit addresses")
    name = info.path.replace(".", ":")
    # A register that changes when read (a read-to-clear counter) is never polled or read back.
    polled = info.readable and not info.read_has_side_effects
    configs = [BitsConfig(name, addr, (1 << info.width) - 1, info.description or info.display_name,
                      readable=polled, writable=info.writable, write_mask=info.writable_mask)]
    for field in info.fields:
        configs.append(BitsConfig(
            f"{name}:{field.name}", addr, field.mask, field.description or field.display_name,
            readable=polled and field.readable, writable=field.writable,
            choices=tuple((member.name, member.value) for member in field.encoding)))
    return configs


def map_bits(path: str | os.PathLike[str], top: str | None, base: int) -> list[BitsConfig]:
    """Raises RegisterMapError (a file that does not load) or ValueError (an address beyond
    32 bits), each naming the file or the register."""
    configs: list[BitsConfig] = []
    for info in RegisterMap.load(path, top).registers:
        configs += register_bits(info, base)
    return configs
