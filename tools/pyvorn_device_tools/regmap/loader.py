"""From a SystemRDL or IP-XACT file to the map's description, through systemrdl-compiler.

IP-XACT (.xml) goes through peakrdl-ipxact's importer into the same compiler, so both formats
elaborate to the same node tree and are walked by the same code.
"""

from __future__ import annotations

import math
import os
import pathlib
from typing import Any
from xml.etree.ElementTree import ParseError

from peakrdl_ipxact import IPXACTImporter
from systemrdl.compiler import RDLCompiler
from systemrdl.messages import MessagePrinter, RDLCompileError, Severity
from systemrdl.node import AddressableNode, AddrmapNode, FieldNode, RegfileNode, RegNode
from systemrdl.source_ref import DetailedFileSourceRef, FileSourceRef, SourceRefBase

from pyvorn_device_tools.regmap.model import (ArrayInfo, BlockInfo, EnumValue, FieldInfo,
                                              MapLoadError, Node, RegisterInfo)

DEVICE_REGISTER_BITS = 32
ADDRESS_SPACE = 1 << 32
# Array elements are expanded into objects: bound what a file can make us build (registers and
# fields counted together; 65536 registers of three fields fit).
MAX_ITEMS = 1 << 18


class _CollectingPrinter(MessagePrinter):
    """Keeps the compiler's errors for our own exception instead of printing them."""

    def __init__(self) -> None:
        self.errors: list[str] = []

    def print_message(self, severity: Severity, text: str,
                      src_ref: SourceRefBase | None) -> None:
        if severity >= Severity.ERROR:
            where = ""
            if isinstance(src_ref, DetailedFileSourceRef):
                where = f"{os.path.basename(src_ref.path)}:{src_ref.line}: "
            elif isinstance(src_ref, FileSourceRef):
                where = f"{os.path.basename(src_ref.path)}: "
            self.errors.append(where + text)


def load(path: str | os.PathLike[str], top: str | None) -> tuple[str, BlockInfo]:
    """The top address map's name and its description. Raises MapLoadError."""
    source = pathlib.Path(path)
    if not source.is_file():
        raise MapLoadError(f"{source}: no such file")
    printer = _CollectingPrinter()
    compiler = RDLCompiler(message_printer=printer)
    try:
        if source.suffix.lower() == ".xml":
            IPXACTImporter(compiler).import_file(str(source))
        else:
            compiler.compile_file(str(source))
        root = compiler.elaborate(top_def_name=top)
    except RDLCompileError as e:
        raise MapLoadError(f"{source}: {'; '.join(printer.errors) or e}") from None
    except ParseError as e:
        raise MapLoadError(f"{source}: not well-formed XML: {e}") from None
    except (OSError, LookupError, ValueError, TypeError, AttributeError, RecursionError,
            SystemError) as e:
        # Some malformed input ends this way rather than through the compiler's messages (the
        # IP-XACT importer's number parsing, the accelerated parser's error path).
        why = "; ".join(printer.errors) or f"{type(e).__name__}: {e}"
        raise MapLoadError(f"{source}: cannot be read as a register map ({why})") from None
    map_top = root.top
    count = _item_count(map_top)
    if count > MAX_ITEMS:
        raise MapLoadError(f"{source}: {count} registers and fields once arrays are expanded; "
                           f"at most {MAX_ITEMS} are supported")
    return map_top.inst_name, _Walk().block(map_top, "")


def _item_count(node: AddressableNode) -> int:
    """Registers and fields below `node`, array elements counted, nothing expanded."""
    here = math.prod(node.array_dimensions or [1])
    if isinstance(node, RegNode):
        return here * (1 + len(node.fields()))
    return here * sum(_item_count(c) for c in node.children()
                      if isinstance(c, (RegNode, RegfileNode, AddrmapNode)))


def _relative_path(node: AddressableNode) -> str:
    return ".".join(node.get_path_segments()[1:])  # without the top map's own name


def _text(node: Any, prop: str) -> str:
    value = node.get_property(prop)
    return value.strip() if isinstance(value, str) else ""


class _Walk:
    """The elaborated tree into descriptions; equal fields (those of array elements) are one
    object."""

    def __init__(self) -> None:
        self.fields: dict[FieldInfo, FieldInfo] = {}

    def block(self, node: AddressableNode, name: str) -> BlockInfo:
        # Memories and signals are not registers: they are left out of the map.
        children = tuple(self.instance(c) for c in node.children()
                         if isinstance(c, (RegNode, RegfileNode, AddrmapNode)))
        return BlockInfo(name=name, children=children, description=_text(node, "desc"))

    def instance(self, node: AddressableNode) -> Node:
        if not node.is_array:
            return self.element(node)
        elements = [self.element(e) for e in node.unrolled() if isinstance(e, AddressableNode)]
        return _nest(node.inst_name, elements, node.array_dimensions or [])

    def element(self, node: AddressableNode) -> Node:
        if isinstance(node, RegNode):
            return self.register(node)
        return self.block(node, node.inst_name)

    def register(self, node: RegNode) -> RegisterInfo:
        path = _relative_path(node)
        width = int(node.get_property("regwidth"))
        if width > DEVICE_REGISTER_BITS:
            raise MapLoadError(f"register {path} is {width} bits wide; device registers are "
                               f"{DEVICE_REGISTER_BITS} bits")
        offset = node.absolute_address
        if offset + width // 8 > ADDRESS_SPACE:
            raise MapLoadError(f"register {path} at {offset:#x} is beyond the 32-bit address "
                               "space")
        fields = sorted((self.field(f) for f in node.fields()), key=lambda f: f.lsb)
        return RegisterInfo(path=path, name=node.inst_name, offset=offset, width=width,
                            fields=tuple(fields), description=_text(node, "desc"),
                            display_name=_text(node, "name"))

    def field(self, node: FieldNode) -> FieldInfo:
        info = _describe_field(node)
        return self.fields.setdefault(info, info)


def _nest(name: str, elements: list[Node], dims: list[int]) -> ArrayInfo:
    """Row-major elements into one ArrayInfo level per dimension."""
    if len(dims) == 1:
        return ArrayInfo(name=name, elements=tuple(elements))
    step = len(elements) // dims[0]
    return ArrayInfo(name=name, elements=tuple(
        _nest(name, elements[i * step:(i + 1) * step], dims[1:]) for i in range(dims[0])))


def _describe_field(node: FieldNode) -> FieldInfo:
    on_write = node.get_property("onwrite")
    on_read = node.get_property("onread")
    reset = node.get_property("reset")
    encode = node.get_property("encode")
    encoding: tuple[EnumValue, ...] = ()
    if encode is not None:
        encoding = tuple(EnumValue(name=m.name, value=int(m.value),
                                   description=(m.rdl_desc or "").strip()) for m in encode)
    return FieldInfo(name=node.inst_name, lsb=node.lsb, width=node.width,
                     access=node.get_property("sw").name,
                     readable=node.is_sw_readable, writable=node.is_sw_writable,
                     on_write=None if on_write is None else on_write.name,
                     on_read=None if on_read is None else on_read.name,
                     reset=reset if isinstance(reset, int) else None,
                     encoding=encoding, description=_text(node, "desc"),
                     display_name=_text(node, "name"))
