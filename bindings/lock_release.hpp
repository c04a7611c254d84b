// Running native work with the interpreter lock released.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace pyvorn {

// Runs `work` without the interpreter lock and takes the lock back in ordinary code, outside any
// destructor or exception handler: a thread that retakes the lock while the interpreter
// finalizes (a daemon thread at exit) is ended with a forced unwind, which a destructor turns
// into std::terminate. Caller: a thread that holds the lock; `work` must not touch Python.
template <typename Work> std::invoke_result_t<Work> without_interpreter_lock(Work &&work) {
    using Result = std::invoke_result_t<Work>;
    std::exception_ptr failure;
    PyThreadState *state = PyEval_SaveThread();
    if constexpr (std::is_void_v<Result>) {
        try {
            std::forward<Work>(work)();
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(state);
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
        PyEval_RestoreThread(state);
        if (failure) {
            std::rethrow_exception(failure);
        }
        return std::move(*result);
    }
}

} // namespace pyvorn
