// A plug-in's entry point, its ABI tag and the path of its library, each written once.
//
// VORN_PLUGIN(ManagerClass), once in one source file of the library, at namespace scope, exports
// both symbols the loader looks for: `create_manager` (returning `new ManagerClass()`, so the
// class must be default-constructible) and `vorn_abi_tag`, the interface version this plug-in
// was built against. The loader refuses a plug-in whose tag differs from its own, and
// `vorn check` fails a plug-in without one.
//
// vorn::make_device<DeviceClass>(manager, args...) makes a device whose keep-alive holds the
// manager, and through the manager's deleter the library: what create_device returns.
//
// vorn::plugin_path() is the absolute path of the library whose code calls it (hidden per
// library, so each plug-in names its own file), or an empty path when the dynamic linker
// cannot say: what DeviceManager::location() returns. Safe from any thread.
//
//   class MyManager final : public vorn::DeviceManager {
//       std::filesystem::path location() override { return vorn::plugin_path(); }
//       vorn::DevicePtr create_device(const std::string &options) override {
//           return vorn::make_device<MyDevice>(*this, parse_my_options(options));
//       }
//       // ... info(), list_devices(), get_device_options()
//   };
//   VORN_PLUGIN(MyManager);
#pragma once

#include <vorn/device_manager.hpp>
#include <vorn/export.hpp>

#include <dlfcn.h>

#include <filesystem>
#include <memory>
#include <utility>

namespace vorn {

// The absolute path of the shared library holding `address` (code or data), or an empty path.
inline std::filesystem::path library_path_of(const void *address) {
    Dl_info found{};
    if (dladdr(address, &found) == 0 || found.dli_fname == nullptr) {
        return {};
    }
    return std::filesystem::absolute(std::filesystem::path(found.dli_fname));
}

template <typename DeviceClass, typename... Args>
DevicePtr make_device(DeviceManager &manager, Args &&...args) {
    auto device = std::make_unique<DeviceClass>(std::forward<Args>(args)...);
    return DevicePtr(device.release(), device_deleter{manager.shared_from_this()});
}

namespace detail {
// One per library, whatever visibility the library is built with: its address lies inside it.
[[gnu::visibility("hidden")]] inline const char plugin_anchor = 0;
} // namespace detail

[[gnu::visibility("hidden")]] inline std::filesystem::path plugin_path() {
    return library_path_of(&detail::plugin_anchor);
}

} // namespace vorn

// Written `VORN_PLUGIN(ManagerClass);`, with the semicolon.
#define VORN_PLUGIN(ManagerClass)                                                                  \
    VORN_EXPORT vorn::DeviceManager *create_manager() { return new ManagerClass(); }              \
    VORN_EXPORT_ABI_TAG()
