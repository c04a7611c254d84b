"""Suites of the pure-Python tools (register maps, the PVAccess bridge). They import the built
module through PYTHONPATH like tests/python, and run in the plain stage only."""
