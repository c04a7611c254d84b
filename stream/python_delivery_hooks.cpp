#include "python_delivery_hooks.hpp"

#include "bindings/lock_release.hpp"

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace py = pybind11;

namespace pyvorn {
namespace {

using vorn::stream::LiveDelivery;

struct AttachedThreadState {
    PyGILState_STATE gil_state{};
    PyThreadState *saved = nullptr;
    bool attached = false;
    bool in_batch = false; // holds the interpreter lock for a batch of callbacks
};

thread_local AttachedThreadState delivery_thread_state;
thread_local int interruptible_scopes = 0;

// How often an interruptible wait looks for a pending signal.
constexpr auto signal_poll_interval = std::chrono::milliseconds(100);

void attach_thread_state() {
    if (Py_IsFinalizing()) {
        return; // asking for the lock now would end this thread
    }
    delivery_thread_state.gil_state = PyGILState_Ensure();
    delivery_thread_state.saved = PyEval_SaveThread();
    delivery_thread_state.attached = true;
}

void detach_thread_state() {
    if (!delivery_thread_state.attached || Py_IsFinalizing()) {
        return; // a finalizing interpreter reclaims the thread state itself
    }
    PyEval_RestoreThread(delivery_thread_state.saved);
    PyGILState_Release(delivery_thread_state.gil_state);
    delivery_thread_state.attached = false;
}

// The callbacks of a batch run under one taking of the lock: pybind11's own acquisition around
// each call then finds it held. Python code in a callback still hands the lock over to threads
// that ask for it, at its usual switch interval.
void start_callback_batch() {
    if (!delivery_thread_state.attached || Py_IsFinalizing()) {
        return; // the callbacks see the interpreter finalizing and do nothing
    }
    PyEval_RestoreThread(delivery_thread_state.saved);
    delivery_thread_state.in_batch = true;
}

void finish_callback_batch() {
    if (delivery_thread_state.in_batch) {
        delivery_thread_state.saved = PyEval_SaveThread();
        delivery_thread_state.in_batch = false;
    }
}

// Python runs signal handlers on the main thread, with the lock held; a handler that raised
// (KeyboardInterrupt) leaves its error set.
bool interrupt_pending(bool holds_lock) {
    if (holds_lock) {
        return PyErr_Occurred() != nullptr || PyErr_CheckSignals() != 0;
    }
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool pending = PyErr_Occurred() != nullptr || PyErr_CheckSignals() != 0;
    PyGILState_Release(state);
    return pending;
}

bool wait_without_interpreter_lock(LiveDelivery &delivery) {
    if (!Py_IsInitialized()) {
        return delivery.wait_finished_until(std::nullopt);
    }
    const bool holds_lock = PyGILState_Check() != 0;
    const bool interruptible = interruptible_scopes > 0 && on_main_thread() && !Py_IsFinalizing();
    const auto wait = [&] {
        if (!interruptible) {
            return delivery.wait_finished_until(std::nullopt);
        }
        return delivery.wait_finished_until(std::chrono::steady_clock::now() +
                                            signal_poll_interval);
    };
    for (;;) {
        // Safe to release here: the waiting code touches no Python object, and the delivery
        // thread needs the lock to finish.
        if (holds_lock ? without_interpreter_lock(wait) : wait()) {
            return true;
        }
        if (interrupt_pending(holds_lock)) {
            return false;
        }
    }
}

constexpr vorn::stream::DeliveryThreadHooks hooks{attach_thread_state, detach_thread_state,
                                                  start_callback_batch, finish_callback_batch,
                                                  wait_without_interpreter_lock};

std::atomic<bool> exit_started{false};

// Interpreter exit waits for callbacks in progress to return, however long they take, as it waits
// for non-daemon threads: a delivery thread that asks for the lock once finalization has begun is
// ended by the interpreter in the middle of its frames, which aborts the process.
// How long exit waits for callbacks in progress before it says what it waits for.
constexpr auto quiet_exit_wait = std::chrono::seconds(1);

// A callback that never returns would hold the exit forever: after a second, one line on stderr
// names the streams still in a callback, and Ctrl-C then ends the process at once. Nothing of
// Python is finalized after that, so ending here is safe; it ends as an interrupted Python does.
[[noreturn]] void end_process_on_interrupt() {
    PyErr_Clear();
    std::fflush(nullptr);
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
    std::_Exit(128 + SIGINT);
}

void stop_all_for_exit() {
    exit_started = true;
    // Released so that callbacks in progress can finish and the callables can be dropped.
    const auto wait = [](auto timeout) {
        return without_interpreter_lock([&] {
            return vorn::stream::stop_all_deliveries(
                std::chrono::duration_cast<std::chrono::milliseconds>(timeout));
        });
    };
    if (wait(quiet_exit_wait) == 0) {
        return;
    }
    std::string names;
    for (const auto &name : vorn::stream::running_delivery_names()) {
        names += (names.empty() ? "" : ", ") + name;
    }
    std::fprintf(stderr,
                 "pyvorn_device: exit waits for callbacks still running (%s); Ctrl-C ends the "
                 "process\n",
                 names.c_str());
    std::fflush(stderr);
    while (wait(signal_poll_interval) != 0) {
        if (PyErr_CheckSignals() != 0) {
            end_process_on_interrupt();
        }
    }
}

} // namespace

const vorn::stream::DeliveryThreadHooks &python_delivery_hooks() { return hooks; }

InterruptibleWaits::InterruptibleWaits() { ++interruptible_scopes; }
InterruptibleWaits::~InterruptibleWaits() { --interruptible_scopes; }

bool interpreter_exiting() { return exit_started.load(); }

void stop_deliveries_at_exit() {
    static bool registered = false; // guarded by the interpreter lock
    if (registered) {
        return;
    }
    py::module_::import("atexit").attr("register")(py::cpp_function(&stop_all_for_exit));
    registered = true;
}

} // namespace pyvorn
