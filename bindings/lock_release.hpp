// Running native work with the interpreter lock released.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace pyvorn {

// Releases the interpreter lock held by the calling thread; returns what retake needs.
PyThreadState *release_interpreter_lock();

// Takes the lock back in ordinary code, outside any destructor or exception handler. A thread
// other than the finalizing one that asks for the lock once the interpreter finalizes (a daemon
// thread at exit) would be ended with a forced unwind, which the noexcept destructors on its
// stack (a stream dropped on that thread) turn into std::terminate. Such a thread is parked
// instead: the process is ending, and a parked thread holds nothing the exit needs.
void retake_interpreter_lock(PyThreadState *state);

// Whether the calling thread is the interpreter's main thread. Any thread.
bool on_main_thread();

// Runs `work` without the interpreter lock. Caller: a thread that holds the lock; `work` must not
// touch Python.
template <typename Work> std::invoke_result_t<Work> without_interpreter_lock(Work &&work) {
    using Result = std::invoke_result_t<Work>;
    std::exception_ptr failure;
    PyThreadState *state = release_interpreter_lock();
    if constexpr (std::is_void_v<Result>) {
        try {
            std::forward<Work>(work)();
        } catch (...) {
            failure = std::current_exception();
        }
        retake_interpreter_lock(state);
        if (failure) {
            std::rethrow_exception(failure);
        }
    } else {
        std::optional<Result> result;
        try {
            result.emplace(std::forward<Work>(work)());
        } catch (...) {
            failure = std::current_exception();
        }
        retake_interpreter_lock(state);
        if (failure) {
            std::rethrow_exception(failure);
        }
        return std::move(*result);
    }
}

} // namespace pyvorn
