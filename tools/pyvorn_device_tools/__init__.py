"""Command-line tools for pyvorn_device: the `vorn` command (see `vorn --help`)."""
