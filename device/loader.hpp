// Turns the path of a plug-in library into a shared DeviceManager.
#pragma once

#include <vorn/device_manager.hpp>

#include <filesystem>
#include <memory>

namespace vorn {

// Loads the plug-in at `path`, calls its create_manager once and returns the manager as the only
// owner of the loaded library. A null manager comes back as an empty pointer that still holds the
// library until it is dropped.
// Caller: any thread (the Python binding calls it holding the interpreter lock). Blocks while the
// library loads. Throws std::runtime_error with a message ending in the path, the standard
// filesystem_error of a failing file query, or the loader's error for a library that does not
// load; the library is unloaded again on every failure after it was loaded.
std::shared_ptr<DeviceManager> get_device_manager(const std::filesystem::path &path);

} // namespace vorn
