"""Tools for pyvorn_device: the `vorn` command (see `vorn --help`), and `plugin_path`, which finds
the plug-ins shipped with the module:

    manager = pyvorn_device.get_device_manager(pyvorn_device_tools.plugin_path("sim"))
"""

from pyvorn_device_tools.target import plugin_path

__all__ = ["plugin_path"]
