#include "python_delivery_hooks.hpp"

#include "bindings/lock_release.hpp"

#include <pybind11/pybind11.h>

#include <atomic>

namespace py = pybind11;

namespace pyvorn {
namespace {

struct AttachedThreadState {
    PyGILState_STATE gil_state{};
    PyThreadState *saved = nullptr;
    bool attached = false;
};

thread_local AttachedThreadState delivery_thread_state;

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

void run_without_interpreter_lock(void (*wait)(void *), void *context) {
    if (!Py_IsInitialized() || PyGILState_Check() == 0) {
        wait(context);
        return;
    }
    // Safe to release here: the caller is a teardown that touches no Python object while it
    // waits, and the delivery thread needs the lock to finish.
    without_interpreter_lock([&] { wait(context); });
}

constexpr vorn::stream::DeliveryThreadHooks hooks{attach_thread_state, detach_thread_state,
                                                  run_without_interpreter_lock};

std::atomic<bool> exit_started{false};

// Interpreter exit waits for callbacks in progress to return, however long they take, as it waits
// for non-daemon threads: a delivery thread that asks for the lock once finalization has begun is
// ended by the interpreter in the middle of its frames, which aborts the process.
void stop_all_for_exit() {
    exit_started = true;
    // Released so that callbacks in progress can finish and the callables can be dropped.
    without_interpreter_lock([] { vorn::stream::stop_all_deliveries(std::nullopt); });
}

} // namespace

const vorn::stream::DeliveryThreadHooks &python_delivery_hooks() { return hooks; }

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
