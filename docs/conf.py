"""Sphinx configuration of the pyvorn_device documentation (./dev.sh docs)."""

import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent

project = "pyvorn_device"
author = "the pyvorn_device developers"
release = re.search(r'^version = "(.+)"', (ROOT / "pyproject.toml").read_text(), re.M)[1]

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinxarg.ext",
    "sphinxcontrib.mermaid",
]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

# The module is a pybind11 extension: its docstrings carry the signatures.
autodoc_docstring_signature = True
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": True}

html_theme = "furo"
html_title = f"pyvorn_device {release}"
# Blocks tagged `python skip` need hardware or a network: shown as Python, not run by the tests.
highlight_language = "python"
