// Running native work with the interpreter lock released.
#pragma once

#include <pybind11/pybind11.h>

#include <cxxabi.h>
#include <type_traits>
#include <utility>

namespace pyvorn {

// Runs `work` without the interpreter lock and takes the lock back in ordinary code, not in a
// destructor: a thread that retakes the lock while the interpreter finalizes (a daemon thread at
// exit) is ended with a forced unwind, which a destructor cannot pass on. Caller: a thread that
// holds the lock; `work` must not touch Python objects.
template <typename Work> decltype(auto) without_interpreter_lock(Work &&work) {
    PyThreadState *state = PyEval_SaveThread();
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Work>>) {
            std::forward<Work>(work)();
            PyEval_RestoreThread(state);
        } else {
            auto result = std::forward<Work>(work)();
            PyEval_RestoreThread(state);
            return result;
        }
    } catch (abi::__forced_unwind &) {
        throw; // the thread is being ended; the lock is not ours to take back
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
}

} // namespace pyvorn
