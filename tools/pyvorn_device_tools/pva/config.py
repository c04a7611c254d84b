"""What the command line asks vorn-pva to publish: registers and fields, triggers, streams.

Each parser turns one command-line item into a frozen description and raises
argparse.ArgumentTypeError with the offending text, so argparse reports it as a usage error."""

import argparse
import dataclasses
import math
import re

from pyvorn_device_tools.target import number

NAME = re.compile(r"[A-Za-z0-9_]+")
FULL_MASK = 0xFFFF_FFFF

# Stream element types: numpy's name -> (numpy little-endian code, p4p array type code).
DTYPES = {
    "int8": ("<i1", "ab"), "uint8": ("<u1", "aB"),
    "int16": ("<i2", "ah"), "uint16": ("<u2", "aH"),
    "int32": ("<i4", "ai"), "uint32": ("<u4", "aI"),
    "int64": ("<i8", "al"), "uint64": ("<u8", "aL"),
    "float32": ("<f4", "af"), "float64": ("<f8", "ad"),
}


@dataclasses.dataclass(frozen=True)
class BitsConfig:
    """A PV over the bits `mask` of the register at `addr`, its value shifted down to bit 0.
    `choices` names encoded values (an NTEnum PV); empty means a plain unsigned integer. A put
    writes through `write_mask` (default: `mask`); a PV that is not `readable` is never read
    from the device and shows what was last written."""
    name: str
    addr: int
    mask: int = FULL_MASK
    description: str = ""
    readable: bool = True
    writable: bool = True
    choices: tuple[tuple[str, int], ...] = ()
    write_mask: int | None = None

    @property
    def shift(self) -> int:
        return (self.mask & -self.mask).bit_length() - 1

    @property
    def largest(self) -> int:
        return self.mask >> self.shift


@dataclasses.dataclass(frozen=True)
class TriggerConfig:
    """A PV whose put fires trigger `addr` with `value`, or with the put's value if None."""
    name: str
    addr: int
    value: int | None = None


@dataclasses.dataclass(frozen=True)
class StreamConfig:
    name: str
    addr: int
    chunk: int = 0  # 0: the device's default
    align: int = 0  # 0: the element size
    dtype: str = "uint8"
    max_rate: float = 0.0  # updates a second; 0: every chunk
    queue: int = 0  # chunks the module queues before it drops; 0: see queue_elements

    @property
    def alignment(self) -> int:
        return self.align or int(DTYPES[self.dtype][0][2:])

    @property
    def queue_elements(self) -> int:
        """The queue asked for, else 256 chunks but no more than about 64 MiB of them."""
        if self.queue:
            return self.queue
        return max(4, min(256, (64 << 20) // self.chunk)) if self.chunk else 256


def checked_name(text: str, what: str) -> str:
    if not NAME.fullmatch(text):
        raise argparse.ArgumentTypeError(
            f"{what} name {text!r}: use letters, digits and '_' only")
    return text


def split_item(text: str, what: str) -> tuple[str, str]:
    name, sep, rest = text.partition("=")
    if not sep or not rest:
        raise argparse.ArgumentTypeError(f"{what} {text!r}: expected NAME=...")
    return checked_name(name, what), rest


def register_item(text: str) -> BitsConfig:
    """NAME=ADDR[:MASK]"""
    name, rest = split_item(text, "register")
    addr, sep, mask_text = rest.partition(":")
    mask = number(mask_text) if sep else FULL_MASK
    if mask == 0:
        raise argparse.ArgumentTypeError(f"register {text!r}: the mask selects no bits")
    return BitsConfig(name, number(addr), mask)


def trigger_item(text: str) -> TriggerConfig:
    """NAME=N[:VALUE], VALUE a signed 32-bit number"""
    name, rest = split_item(text, "trigger")
    addr, sep, value_text = rest.partition(":")
    value = None
    if sep:
        try:
            value = int(value_text, 0)
        except ValueError:
            raise argparse.ArgumentTypeError(f"trigger {text!r}: not a number: "
                                             f"{value_text!r}") from None
        if not -2**31 <= value < 2**31:
            raise argparse.ArgumentTypeError(f"trigger {text!r}: value outside 32 signed bits")
    return TriggerConfig(name, number(addr), value)


def positive_int(key: str, text: str, limit: int) -> int:
    value = number(text)
    if not 0 < value <= limit:
        raise argparse.ArgumentTypeError(f"{key}={text}: must be 1 to {limit}")
    return value


def stream_item(text: str) -> StreamConfig:
    """NAME=ADDR[,chunk=N][,align=N][,dtype=T][,max_rate=HZ][,queue=N]"""
    name, rest = split_item(text, "stream")
    addr_text, *items = rest.split(",")
    fields: dict[str, object] = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or key in fields:
            raise argparse.ArgumentTypeError(f"stream {text!r}: bad or repeated item {item!r}")
        if key in ("chunk", "align"):
            fields[key] = positive_int(key, value, 1 << 30)
        elif key == "queue":
            fields[key] = positive_int(key, value, 1 << 16)
        elif key == "dtype":
            if value not in DTYPES:
                raise argparse.ArgumentTypeError(
                    f"stream {text!r}: dtype one of {', '.join(DTYPES)}")
            fields[key] = value
        elif key == "max_rate":
            try:
                rate = float(value)
            except ValueError:
                rate = math.nan
            if not (math.isfinite(rate) and rate > 0):
                raise argparse.ArgumentTypeError(f"stream {text!r}: max_rate must be > 0")
            fields[key] = rate
        else:
            raise argparse.ArgumentTypeError(f"stream {text!r}: unknown item {key!r}")
    config = StreamConfig(name, number(addr_text), **fields)  # type: ignore[arg-type]
    element = int(DTYPES[config.dtype][0][2:])
    if config.alignment % element:
        raise argparse.ArgumentTypeError(
            f"stream {text!r}: align must be a multiple of the {config.dtype} size ({element})")
    return config


def duration(text: str) -> float:
    """Seconds: '0.5s', '500ms', or a bare number of seconds; positive and at most a day."""
    scale = 1e-3 if text.endswith("ms") else 1.0
    number_text = text.removesuffix("ms") if scale != 1.0 else text.removesuffix("s")
    try:
        seconds = float(number_text) * scale
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a duration: {text!r} (e.g. 0.5s, 500ms)") from None
    if not (math.isfinite(seconds) and 0 < seconds <= 86400):
        raise argparse.ArgumentTypeError(f"duration {text!r}: must be above 0 and at most a day")
    return seconds
