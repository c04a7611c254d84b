#include "lock_release.hpp"

#include <atomic>
#include <chrono>
#include <thread>

namespace py = pybind11;

namespace pyvorn {
namespace {

// Learnt the first time any thread releases the lock; 0 until then.
std::atomic<unsigned long> main_thread_ident{0};

void remember_main_thread() {
    if (main_thread_ident.load(std::memory_order_relaxed) != 0) {
        return;
    }
    py::error_scope keep_pending_error; // a dealloc may run with an error set
    try {
        const auto ident = py::module_::import("threading")
                               .attr("main_thread")()
                               .attr("ident")
                               .cast<unsigned long>();
        main_thread_ident.store(ident, std::memory_order_relaxed);
    } catch (const py::error_already_set &) {
        // not known yet; the next release tries again
    }
}

[[noreturn]] void park_forever() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

} // namespace

bool on_main_thread() {
    const auto main = main_thread_ident.load(std::memory_order_relaxed);
    return main != 0 && PyThread_get_thread_ident() == main;
}

PyThreadState *release_interpreter_lock() {
    remember_main_thread();
    return PyEval_SaveThread();
}

void retake_interpreter_lock(PyThreadState *state) {
    // Finalizing first: it is one load, and almost always false.
    if (Py_IsFinalizing() && !on_main_thread()) {
        park_forever();
    }
    // Finalization may begin while this thread waits for the lock: the forced unwind that ends
    // it then stops here, and the thread sleeps until the process exits.
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        park_forever();
    }
}

} // namespace pyvorn
