// Loader: the messages of get_device_manager, faulty plug-ins, and how long a plug-in stays loaded.
#include "loader.hpp"

#include <vorn/export.hpp>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;

namespace {

const std::string no_create_manager = VORN_PLUGIN_NO_CREATE_MANAGER;
const std::string factory_throws = VORN_PLUGIN_FACTORY_THROWS;
const std::string factory_throws_foreign = VORN_PLUGIN_FACTORY_THROWS_FOREIGN;
const std::string factory_returns_null = VORN_PLUGIN_FACTORY_RETURNS_NULL;
const std::string undefined_symbol = VORN_PLUGIN_UNDEFINED_SYMBOL;
const std::string with_sibling = VORN_PLUGIN_WITH_SIBLING;
const std::string sibling_helper = VORN_PLUGIN_SIBLING_HELPER;
const std::string counting = VORN_PLUGIN_COUNTING;
const std::string wrong_abi_tag = VORN_PLUGIN_WRONG_ABI_TAG;

// Whether the dynamic loader has the file mapped (matched by file identity, so links count too).
bool is_loaded(const std::string &path) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

// Calls one of the counting plug-in's exported counters; the plug-in must be loaded.
int counter(const char *name) {
    void *handle = dlopen(counting.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        ADD_FAILURE() << "counting plug-in not loaded when reading " << name;
        return -1;
    }
    auto *read = reinterpret_cast<int (*)()>(dlsym(handle, name));
    const int value = read != nullptr ? read() : -1;
    dlclose(handle);
    EXPECT_NE(read, nullptr) << name;
    return value;
}

template <typename Call> std::string runtime_error_of(Call &&call) {
    try {
        call();
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    ADD_FAILURE() << "no std::runtime_error";
    return {};
}

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "vorn_loader_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path &path() const { return path_; }

  private:
    fs::path path_;
};

class WorkingDirectory {
  public:
    explicit WorkingDirectory(const fs::path &dir) : previous_(fs::current_path()) {
        fs::current_path(dir);
    }
    ~WorkingDirectory() { fs::current_path(previous_); }

  private:
    fs::path previous_;
};

TEST(Loader, MissingPathIsReportedAsPassed) {
    for (const std::string path : {"no/such/dir/libplugin.so", "/nonexistent_vorn/libplugin.so",
                                   "libplugin.so", "./../no_such_plugin.so"}) {
        EXPECT_EQ(runtime_error_of([&] { vorn::get_device_manager(path); }),
                  "Device Manager not found: " + path);
    }
    // A dangling link does not exist either.
    TempDir dir;
    const fs::path link = dir.path() / "dangling.so";
    fs::create_symlink(dir.path() / "gone.so", link);
    EXPECT_EQ(runtime_error_of([&] { vorn::get_device_manager(link); }),
              "Device Manager not found: " + link.string());
}

TEST(Loader, DirectoryIsNotARegularFile) {
    const std::string plugin_dir = fs::path(counting).parent_path().string() + "/";
    EXPECT_EQ(runtime_error_of([&] { vorn::get_device_manager(plugin_dir); }),
              "Not a regular file: " + plugin_dir);

    // A link is judged by what it points to.
    TempDir dir;
    const fs::path link = dir.path() / "dir_link.so";
    fs::create_directory_symlink(plugin_dir, link);
    EXPECT_EQ(runtime_error_of([&] { vorn::get_device_manager(link); }),
              "Not a regular file: " + link.string());
}

TEST(Loader, MissingEntryPointIsRefusedAndUnloaded) {
    EXPECT_EQ(runtime_error_of([&] { vorn::get_device_manager(no_create_manager); }),
              "Device Manager does not have create_manager function: " + no_create_manager);
    EXPECT_FALSE(is_loaded(no_create_manager));
}

TEST(Loader, FactoryExceptionIsWrappedWithPathAndUnloaded) {
    EXPECT_EQ(runtime_error_of([&] { vorn::get_device_manager(factory_throws); }),
              "Failed to create manager: " + factory_throws + " factory exploded");
    EXPECT_FALSE(is_loaded(factory_throws));
    // A type of the plug-in's own ends while the library is loaded, and is reported the same way.
    EXPECT_EQ(runtime_error_of([&] { vorn::get_device_manager(factory_throws_foreign); }),
              "Failed to create manager: " + factory_throws_foreign + " unknown exception");
    EXPECT_FALSE(is_loaded(factory_throws_foreign));
}

TEST(Loader, NullFactoryResultIsEmptyAndHoldsTheLibraryUntilDropped) {
    auto manager = vorn::get_device_manager(factory_returns_null);
    EXPECT_EQ(manager, nullptr);
    EXPECT_TRUE(is_loaded(factory_returns_null));
    manager.reset();
    EXPECT_FALSE(is_loaded(factory_returns_null));
}

TEST(Loader, WrongAbiTagIsRefusedNamingBothTagsAndThePath) {
    EXPECT_EQ(runtime_error_of([] { vorn::get_device_manager(wrong_abi_tag); }),
              "Device Manager ABI tag mismatch: plug-in has 'vorn-plugin-abi-0', module expects '" +
                  std::string(VORN_ABI_TAG) + "': " + wrong_abi_tag);
    EXPECT_FALSE(is_loaded(wrong_abi_tag));
}

TEST(Loader, UnresolvedSymbolFailsAtLoadWithCatchableError) {
    try {
        vorn::get_device_manager(undefined_symbol);
        FAIL() << "a plug-in with an unresolved symbol loaded";
    } catch (const std::exception &e) {
        EXPECT_NE(std::string(e.what()).find("vorn_test_factory_nobody_defines"), std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(is_loaded(undefined_symbol));
}

TEST(Loader, SymlinkToPluginLoads) {
    TempDir dir;
    const fs::path link = dir.path() / "libvia_link.so";
    fs::create_symlink(counting, link);
    auto manager = vorn::get_device_manager(link);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->info(), "managers=1 devices=0");
    manager.reset();
    EXPECT_FALSE(is_loaded(counting));
}

TEST(Loader, SiblingLibraryIsFoundBesideThePluginFromAnyWorkingDirectory) {
    // Copies in a fresh directory: only the plug-in's own run path can lead to the sibling.
    TempDir dir;
    const fs::path plugin = dir.path() / fs::path(with_sibling).filename();
    fs::copy_file(with_sibling, plugin);
    fs::copy_file(sibling_helper, dir.path() / fs::path(sibling_helper).filename());

    WorkingDirectory elsewhere("/");
    auto manager = vorn::get_device_manager(plugin);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->info(), "hello from the sibling");
}

TEST(Loader, PluginWithoutItsSiblingFailsToLoad) {
    // The control for the test above: without the sibling next to it the copy cannot load.
    TempDir dir;
    const fs::path plugin = dir.path() / fs::path(with_sibling).filename();
    fs::copy_file(with_sibling, plugin);
    try {
        vorn::get_device_manager(plugin);
        FAIL() << "loaded without its sibling";
    } catch (const std::exception &e) {
        EXPECT_NE(std::string(e.what()).find("with_sibling_helper"), std::string::npos) << e.what();
    }
}

TEST(Loader, TwoManagersAreIndependentAndTheLibraryStaysUntilTheLastOwnerGoes) {
    auto first = vorn::get_device_manager(counting);
    auto second = vorn::get_device_manager(counting);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(counter("counting_managers_constructed"), 2);

    first.reset();
    ASSERT_TRUE(is_loaded(counting));
    EXPECT_EQ(counter("counting_managers_destroyed"), 1);
    EXPECT_EQ(second->info(), "managers=1 devices=0");

    // The device's keep-alive now holds the last manager, and with it the library.
    vorn::DevicePtr device = second->create_device("");
    ASSERT_NE(device, nullptr);
    second.reset();
    ASSERT_TRUE(is_loaded(counting));
    EXPECT_EQ(counter("counting_managers_destroyed"), 1);
    EXPECT_EQ(device->send_registers(), vorn::BasicDeviceStatus::Success);

    device = vorn::DevicePtr{}; // destroys the handle; reset() would keep the keep-alive
    EXPECT_FALSE(is_loaded(counting));
}

TEST(Loader, DeviceIsDestroyedBeforeItsKeepAliveAndManagerBeforeTheLibrary) {
    // Hold the library ourselves so the counters stay readable after the last owner is gone.
    void *pin = dlopen(counting.c_str(), RTLD_NOW);
    ASSERT_NE(pin, nullptr) << dlerror();

    auto manager = vorn::get_device_manager(counting);
    ASSERT_NE(manager, nullptr);
    vorn::DevicePtr device = manager->create_device("");
    manager.reset();
    EXPECT_EQ(counter("counting_managers_destroyed"), 0);
    device = vorn::DevicePtr{};
    EXPECT_EQ(counter("counting_devices_destroyed"), 1);
    EXPECT_EQ(counter("counting_devices_orphaned"), 0);
    EXPECT_EQ(counter("counting_managers_destroyed"), 1);

    dlclose(pin);
    EXPECT_FALSE(is_loaded(counting));
}

} // namespace
