"""Pure-Python twins of the native modules, written the straightforward way.

They are the benchmarks' reference and the differential tests' oracle.
"""
