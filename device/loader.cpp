#include "loader.hpp"

#include "library_search_path.hpp"

#include <vorn/export.hpp>

#include <boost/dll/shared_library.hpp>

#include <cstring>
#include <stdexcept>
#include <string>

namespace vorn {
namespace {

// Immediate binding on Linux: with the default lazy binding a plug-in with an unresolved symbol
// loads fine and kills the process at its first call; resolving at load time turns that into a
// catchable load error, as the Windows loader does.
boost::dll::load_mode::type plugin_load_mode() {
#if defined(_WIN32)
    return boost::dll::load_mode::default_mode;
#else
    return boost::dll::load_mode::rtld_now | boost::dll::load_mode::rtld_local;
#endif
}

// A tag is optional; one that is present must be this build's.
void check_abi_tag(const boost::dll::shared_library &library, const std::filesystem::path &path) {
    if (!library.has("vorn_abi_tag")) {
        return;
    }
    const char *tag = &library.get<const char>("vorn_abi_tag");
    const std::string plugin_tag(tag, strnlen(tag, 64));
    if (plugin_tag != VORN_ABI_TAG) {
        throw std::runtime_error("Device Manager ABI tag mismatch: plug-in has '" + plugin_tag +
                                 "', module expects '" VORN_ABI_TAG "': " + path.string());
    }
}

} // namespace

std::shared_ptr<DeviceManager> get_device_manager(const std::filesystem::path &path) {
    if (!std::filesystem::exists(path)) {
        throw std::runtime_error("Device Manager not found: " + path.string());
    }
    if (!std::filesystem::is_regular_file(
            std::filesystem::status(std::filesystem::canonical(path)))) {
        throw std::runtime_error("Not a regular file: " + path.string());
    }

    set_library_search_directory(path.parent_path().generic_string());

    auto library = std::make_shared<boost::dll::shared_library>(boost::dll::fs::path(path.native()),
                                                                plugin_load_mode());
    if (!library->has("create_manager")) {
        throw std::runtime_error("Device Manager does not have create_manager function: " +
                                 path.string());
    }
    check_abi_tag(*library, path);
    auto &create_manager = library->get<ManagerFactory>("create_manager");

    try {
        DeviceManager *manager = create_manager();
        return std::shared_ptr<DeviceManager>(manager, manager_deleter{std::move(library)});
    } catch (const std::exception &e) {
        throw std::runtime_error("Failed to create manager: " + path.string() + " " + e.what());
    } catch (...) {
        // The exception's type and destructor live in the plug-in: it must end here, while the
        // library is still loaded.
        throw std::runtime_error("Failed to create manager: " + path.string() +
                                 " unknown exception");
    }
}

} // namespace vorn
