// The bytes a Python device's write/read override sees.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

namespace pyvorn {

// Calls `override(addr, length, view)` with `view` a memoryview of a copy of the `length` bytes
// at `data` (read-only for write, writable for read), and copies the bytes back into `data`
// afterwards when `copy_back` is set. Python code may derive views from `view` and keep them
// (a slice, a cast, a numpy array); they point into the copy, which lives as long as they do, and
// never into the caller's memory. Views still exported when the override returns make the call
// fail with BufferError naming `method`: a device that keeps them has not finished with the
// bytes. Caller: holds the interpreter lock.
pybind11::object call_with_block_view(const pybind11::function &override, const char *method,
                                      std::uint32_t addr, std::uint64_t length,
                                      std::uint8_t *data, bool copy_back);

} // namespace pyvorn
