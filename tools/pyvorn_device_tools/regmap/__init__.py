"""Register maps: named registers and fields from SystemRDL or IP-XACT, on any device.

    regmap = RegisterMap.load("board.rdl")        # or an IP-XACT .xml
    regs = regmap.bind(dev, base=0x4000_0000)
    regs.ctrl.enable.write(1)                     # one masked write
    with regs.staged():                           # one send_registers() at the end
        regs.ctrl.mode.set("burst"); regs.dma.length.set(4096)
    regs.status.read_fields()                     # {"busy": 0, "fifo_level": 17}
"""

from pyvorn_device_tools.regmap.bound import BoundArray, BoundBlock, BoundField, BoundRegister
from pyvorn_device_tools.regmap.model import (AccessError, ArrayInfo, BlockInfo, DeviceCallError,
                                              EnumValue, FieldInfo, MapLoadError, Node,
                                              RegisterInfo, RegisterMapError)
from pyvorn_device_tools.regmap.register_map import RegisterMap

__all__ = [
    "AccessError", "ArrayInfo", "BlockInfo", "BoundArray", "BoundBlock", "BoundField",
    "BoundRegister", "DeviceCallError", "EnumValue", "FieldInfo", "MapLoadError", "Node",
    "RegisterInfo", "RegisterMap", "RegisterMapError",
]
