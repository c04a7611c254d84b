// How the binding calls into a device.
//
// A plug-in's device may block for as long as its I/O takes (a remote server that stopped
// answering, a large transfer), so every call into it runs with the interpreter lock released:
// other Python threads and stream callbacks go on meanwhile. A per-device call lock keeps what
// a device has always been promised: calls from several Python threads never overlap. It is taken
// only while the interpreter lock is released, never the other way round, so a thread holding one
// of the two never waits for a thread holding the other (a stream callback calling into its own
// device while another thread is inside a long call on it simply waits for that call).
//
// A Device implemented in Python (PyDevice) runs Python code for every operation: it is called
// with the interpreter lock held, as before.
#pragma once

#include "lock_release.hpp"

#include <vorn/device_manager.hpp>

#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>

namespace pyvorn {

// Makes the keep-alive the binding stores in a plug-in device's deleter: it carries the device's
// call lock and holds `inner` (what the plug-in or the binding chose to keep alive) as before.
// Caller: holds the interpreter lock. Throws std::bad_alloc.
std::shared_ptr<void> make_call_guard(std::shared_ptr<void> inner);

// The call lock of a plug-in device's keep-alive, or null (a PyDevice, or any other keep-alive).
std::mutex *call_lock_of(const std::shared_ptr<void> &keep_alive);

// The device a bound method is called on: any Device object, as pybind11 would load it for a
// `Device &` argument, together with its call lock (null for a PyDevice).
struct DeviceSelf {
    vorn::Device *device = nullptr;
    std::mutex *calls = nullptr;
};

// Runs `operation(device)`; for a plug-in's device under its call lock with the interpreter lock
// released. Caller: holds the interpreter lock; the Python object stays alive for the call (the
// caller's arguments hold it), so the device does too. `operation` must not touch Python unless
// the device is a PyDevice.
template <typename Operation> auto call_device(const DeviceSelf &self, Operation &&operation) {
    if (self.calls == nullptr) {
        return operation(*self.device);
    }
    // Safe to release: the operation touches no Python object, and the device, its arguments and
    // any exported buffer stay alive and exported until the caller returns.
    return without_interpreter_lock([&] {
        const std::lock_guard lock(*self.calls);
        return operation(*self.device);
    });
}

} // namespace pyvorn

namespace pybind11::detail {

template <> class type_caster<pyvorn::DeviceSelf> {
  public:
    static constexpr auto name = type_caster_base<vorn::Device>::name;

    bool load(handle source, bool convert) {
        // Looked up once: the registry's lookup hashes the type's name, a good part of a call.
        static detail::type_info *const device_type = get_type_info(typeid(vorn::Device));
        type_caster_generic base(device_type);
        if (!base.load(source, convert)) {
            return false;
        }
        if (base.value == nullptr) {
            throw reference_cast_error();
        }
        self_.device = static_cast<vorn::Device *>(base.value);
        auto *instance = reinterpret_cast<detail::instance *>(source.ptr());
        auto holder = instance->get_value_and_holder(device_type);
        self_.calls = holder.holder_constructed()
                          ? pyvorn::call_lock_of(holder.holder<vorn::DevicePtr>().get_deleter().keep_alive)
                          : nullptr;
        return true;
    }

    template <typename T> using cast_op_type = pyvorn::DeviceSelf &;
    explicit operator pyvorn::DeviceSelf &() { return self_; }

  private:
    pyvorn::DeviceSelf self_;
};

} // namespace pybind11::detail
