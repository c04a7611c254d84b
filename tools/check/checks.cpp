#include "checks.hpp"

#include "loader.hpp"
#include "stream_watch.hpp"

#include <vorn/export.hpp>

#include <dlfcn.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace vorn::check {
namespace {

using DataStream = Device::DataStream;

Outcome pass(std::string reason) { return {Status::Pass, std::move(reason)}; }
Outcome fail(std::string reason) { return {Status::Fail, std::move(reason)}; }
Outcome skip(std::string reason) { return {Status::Skip, std::move(reason)}; }

std::shared_ptr<DeviceManager> load(const Target &target) {
    auto manager = get_device_manager(target.path);
    if (!manager) {
        throw std::runtime_error("create_manager returned no manager");
    }
    return manager;
}

DevicePtr create(DeviceManager &manager, const std::string &options) {
    auto device = manager.create_device(options);
    if (!device) {
        throw std::runtime_error("create_device(\"" + options + "\") returned no device");
    }
    return device;
}

bool valid_utf8(const std::string &text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80           ? 1
                                   : (lead >> 5) == 0x6  ? 2
                                   : (lead >> 4) == 0xE  ? 3
                                   : (lead >> 3) == 0x1E ? 4
                                                         : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// The library, dlopened as the loader does; closed again at scope exit.
struct Opened {
    void *handle;
    explicit Opened(const std::string &path) : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        if (handle == nullptr) {
            throw std::runtime_error(std::string("does not load: ") + dlerror());
        }
    }
    Opened(const Opened &) = delete;
    Opened &operator=(const Opened &) = delete;
    ~Opened() { dlclose(handle); }
};

Outcome loads(const Target &target) {
    const Opened library(target.path);
    return pass("loads with immediate binding");
}

Outcome abi_tag(const Target &target) {
    const Opened library(target.path);
    const auto *tag = static_cast<const char *>(dlsym(library.handle, "vorn_abi_tag"));
    if (tag == nullptr) {
        return fail("no ABI tag exported: the loader cannot check the plug-in; export "
                    "create_manager with VORN_PLUGIN(ManagerClass) from <vorn/plugin.hpp>");
    }
    if (std::string(tag, strnlen(tag, 64)) != VORN_ABI_TAG) {
        return fail("ABI tag '" + std::string(tag, strnlen(tag, 64)) + "', this module speaks '" +
                    VORN_ABI_TAG "'");
    }
    return pass("ABI tag " VORN_ABI_TAG);
}

Outcome factory(const Target &target) {
    const Opened library(target.path);
    auto *create_manager =
        reinterpret_cast<ManagerFactory *>(dlsym(library.handle, "create_manager"));
    if (create_manager == nullptr) {
        return fail("create_manager is not exported");
    }
    try {
        delete create_manager();
    } catch (const std::exception &e) {
        return fail(std::string("create_manager threw: ") + e.what());
    }
    return pass("create_manager exported and callable");
}

Outcome manager_present(const Target &target) {
    if (!get_device_manager(target.path)) {
        return fail("create_manager returned a null manager");
    }
    return pass("create_manager returned a manager");
}

Outcome texts_utf8(const Target &target) {
    auto manager = load(target);
    auto device = create(*manager, target.options);
    const std::pair<const char *, std::optional<std::string>> texts[] = {
        {"info()", manager->info()},
        {"location()", manager->location().string()},
        {"list_devices()", manager->list_devices()},
        {"get_device_options()", manager->get_device_options()},
        {"device get_info()", device->get_info()},
        {"device get_status()", device->get_status()}};
    for (const auto &[what, text] : texts) {
        if (text && !valid_utf8(*text)) {
            return fail(std::string(what) + " is not valid UTF-8");
        }
    }
    return pass("manager and device texts are valid UTF-8");
}

Outcome device_lifecycle(const Target &target) {
    auto manager = load(target);
    create(*manager, target.options).reset();
    create(*manager, target.options).reset();
    return pass("created and destroyed two devices in turn");
}

Outcome keep_alive(const Target &target) {
    auto device = create(*load(target), target.options); // the manager's last owner is gone
    if (!device.get_deleter().keep_alive) {
        device.release(); // its code may be gone already: never run its destructor
        return fail("the device's keep_alive is empty: its library may unload under it");
    }
    device->get_info(); // still callable with only the keep-alive holding the plug-in
    return pass("the device holds a keep-alive");
}

Outcome register_read(const Target &target) {
    auto manager = load(target);
    auto device = create(*manager, target.options);
    const auto value = device->get_register_sync(target.addr);
    return pass(value ? "get_register_sync returned a value" : "get_register_sync returned empty");
}

// One stream on a watched callback. The watch is leaked on purpose: a device that calls the
// callback late must find it alive, and the process ends after the check anyway.
struct WatchedStream {
    std::shared_ptr<DeviceManager> manager;
    DevicePtr device;
    StreamWatch *watch = new StreamWatch;
    std::shared_ptr<void> keep_alive; // holds the library for the chunks, as the module does
    std::unique_ptr<DataStream> handle;
    bool refused = false;

    WatchedStream(const Target &target, const std::string &options,
                  std::uint64_t chunk_size = 4096)
        : manager(load(target)), device(create(*manager, options)),
          keep_alive(device.get_deleter().keep_alive) {
        auto result = device->start_read_stream(target.addr, watch->callback(), chunk_size);
        refused = !result || !*result;
        if (!refused) {
            handle = std::move(*result);
        }
    }
    void stop() {
        watch->mark_stopping();
        handle->stop();
        watch->mark_stopped();
    }
    void drop() {
        watch->mark_stopping();
        handle.reset();
        watch->mark_stopped();
    }
    // Waits for late calls, then ends everything, holding chunks until the device is gone.
    void finish() {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        handle.reset();
        device.reset();
        if (!keep_alive) {
            watch->release_held(); // nothing else holds the library (the keep_alive check fails)
        }
        manager.reset();
        watch->release_held();
        keep_alive.reset();
    }
};

Outcome after_stop(const WatchedStream &stream, const char *what = "stop() returned") {
    const auto &w = *stream.watch;
    if (w.invokes_after_stop > 0) {
        return fail(std::to_string(w.invokes_after_stop) + " invoke(s) after " + what);
    }
    if (w.invokes_after_destroy > 0) {
        return fail(std::to_string(w.invokes_after_destroy) + " invoke(s) after destroy");
    }
    if (w.destroys != 1) {
        return fail("callback destroyed " + std::to_string(w.destroys) + " times, not once");
    }
    return pass("");
}

Outcome no_invoke_after_stop(const Target &target) {
    WatchedStream stream(target, target.options);
    if (stream.refused) {
        return skip("the device refused the stream");
    }
    stream.watch->wait_for_invokes(3, 2000);
    stream.stop();
    stream.finish();
    const auto &w = *stream.watch;
    if (w.invokes_after_stop > 0) {
        return fail(std::to_string(w.invokes_after_stop) + " invoke(s) after stop() returned");
    }
    return pass(std::to_string(w.invokes) + " invokes, none after stop() returned");
}

Outcome callback_destroyed_once(const Target &target) {
    WatchedStream stream(target, target.options);
    if (stream.refused) {
        return skip("the device refused the stream");
    }
    stream.watch->wait_for_invokes(3, 2000);
    stream.stop();
    stream.finish();
    const auto &w = *stream.watch;
    if (w.destroyed_early) {
        return fail("callback destroyed before the end marker and before stop()");
    }
    if (w.invokes_after_destroy > 0) {
        return fail(std::to_string(w.invokes_after_destroy) + " invoke(s) after destroy");
    }
    if (w.destroys != 1) {
        return fail("callback destroyed " + std::to_string(w.destroys) + " times, not once");
    }
    return pass("destroyed once, after stop() began");
}

Outcome chunks_released_once(const Target &target) {
    WatchedStream stream(target, target.options);
    if (stream.refused) {
        return skip("the device refused the stream");
    }
    stream.watch->wait_for_invokes(200, 2000);
    stream.stop();
    stream.finish(); // releases the held chunks after the device is gone: ASan sees misuse
    const auto &w = *stream.watch;
    if (!w.chunk_fault.empty()) {
        return fail(w.chunk_fault);
    }
    if (w.owned_chunks == 0) {
        return skip("the stream lent every chunk; none owned");
    }
    return pass(std::to_string(w.owned_chunks) + " owned chunks, each released once");
}

// Without --finite-options the default device's stream is watched for 1 s: many end by themselves.
Outcome nothing_after_end(const Target &target) {
    const bool finite = target.finite_options.has_value();
    WatchedStream stream(target, target.finite_options.value_or(target.options));
    if (stream.refused) {
        return skip("the device refused the stream");
    }
    stream.watch->wait_for_invokes(1 << 30, finite ? 5000 : 1000); // returns at the end marker
    if (!stream.watch->end_seen) {
        stream.stop();
        stream.finish();
        return finite ? fail("no end marker within 5 s with the finite options")
                      : skip("the stream did not end within 1 s; name options for one that "
                             "does (--finite-options)");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stream.stop();
    stream.finish();
    const auto &w = *stream.watch;
    if (w.invokes_after_end > 0) {
        return fail(std::to_string(w.invokes_after_end) + " event(s) after the end marker");
    }
    if (w.destroys != 1) {
        return fail("callback destroyed " + std::to_string(w.destroys) + " times, not once");
    }
    return pass("nothing after the end marker");
}

Outcome stop_twice(const Target &target) {
    WatchedStream stream(target, target.options);
    if (stream.refused) {
        return skip("the device refused the stream");
    }
    stream.watch->wait_for_invokes(3, 2000);
    stream.stop();
    try {
        stream.stop();
    } catch (const std::exception &e) {
        return fail(std::string("the second stop() threw: ") + e.what());
    }
    stream.finish();
    auto outcome = after_stop(stream);
    return outcome.status == Status::Pass ? pass("the second stop() returned at once") : outcome;
}

Outcome stop_from_other_thread(const Target &target) {
    WatchedStream stream(target, target.options);
    if (stream.refused) {
        return skip("the device refused the stream");
    }
    stream.watch->wait_for_invokes(3, 2000);
    std::thread([&stream] { stream.stop(); }).join();
    stream.finish();
    auto outcome = after_stop(stream);
    return outcome.status == Status::Pass ? pass("stopped from a second thread") : outcome;
}

Outcome destroy_without_stop(const Target &target) {
    WatchedStream stream(target, target.options);
    if (stream.refused) {
        return skip("the device refused the stream");
    }
    stream.watch->wait_for_invokes(3, 2000);
    stream.drop();
    stream.finish();
    auto outcome = after_stop(stream, "the handle was destroyed");
    return outcome.status == Status::Pass ? pass("destroying the handle stopped the stream")
                                          : outcome;
}

Outcome refused_stream(const Target &target) {
    WatchedStream stream(target, target.refuse_options.value_or(target.options));
    if (!stream.refused) {
        stream.stop();
        stream.finish();
        return skip("the device took the stream; name a refusing device (--refuse-options)");
    }
    stream.finish();
    const auto &w = *stream.watch;
    if (w.invokes > 0) {
        return fail("a refused stream invoked its callback " + std::to_string(w.invokes) +
                    " time(s)");
    }
    if (w.destroys != 1) {
        return fail("a refused stream's callback was destroyed " + std::to_string(w.destroys) +
                    " times, not once");
    }
    return pass("refused: callback destroyed once, never invoked");
}

// A chunk size no buffer can have (header and data overflow 64 bits) must be refused, by an
// empty result, an exception or an error text, never by a crash (the checker's process would die).
Outcome impossible_chunk_size(const Target &target) {
    constexpr std::uint64_t impossible = ~std::uint64_t{0};
    try {
        WatchedStream stream(target, target.options, impossible);
        if (stream.refused) {
            stream.finish();
            return pass("chunk_size 2**64-1 refused: no stream");
        }
        stream.watch->wait_for_invokes(1, 1000);
        stream.stop();
        stream.finish();
        const auto &w = *stream.watch;
        if (w.owned_chunks > 0) {
            return fail("chunk_size 2**64-1 accepted: owned chunks delivered");
        }
        return pass("chunk_size 2**64-1 taken, no chunk delivered");
    } catch (const std::exception &e) {
        return pass(std::string("chunk_size 2**64-1 refused: ") + e.what());
    }
}

} // namespace

const std::vector<Check> &all_checks() {
    static const std::vector<Check> checks{
        {"loads", loads},
        {"abi_tag", abi_tag},
        {"factory", factory},
        {"manager", manager_present},
        {"utf8_texts", texts_utf8},
        {"device_lifecycle", device_lifecycle},
        {"keep_alive", keep_alive},
        {"register_read", register_read},
        {"no_invoke_after_stop", no_invoke_after_stop},
        {"callback_destroyed_once", callback_destroyed_once},
        {"chunks_released_once", chunks_released_once},
        {"nothing_after_end", nothing_after_end},
        {"stop_twice", stop_twice},
        {"stop_from_other_thread", stop_from_other_thread},
        {"destroy_without_stop", destroy_without_stop},
        {"refused_stream", refused_stream},
        {"impossible_chunk_size", impossible_chunk_size},
    };
    return checks;
}

} // namespace vorn::check
