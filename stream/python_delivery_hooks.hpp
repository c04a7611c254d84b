// How a stream's delivery thread lives beside the Python interpreter.
#pragma once

#include "event_queue.hpp"

namespace pyvorn {

// Hooks for make_queued_callback:
//  - the delivery thread keeps one Python thread state for its whole life, so each callback only
//    takes the interpreter lock instead of creating and deleting a thread state;
//  - teardown waits for the delivery thread with the interpreter lock released, because that
//    thread needs the lock to finish its callback and to drop the Python callable.
const vorn::stream::DeliveryThreadHooks &python_delivery_hooks();

// Registers, once per process, an atexit function that stops every running delivery thread
// before the interpreter finalizes (a thread that asks for the lock during finalization is ended
// by the interpreter mid-frame). It waits for callbacks in progress to return, however long they
// take. Caller: a Python thread holding the interpreter lock.
void stop_deliveries_at_exit();

// Whether that atexit function has run: a stream started after it would still be delivering
// when the interpreter finalizes. Any thread.
bool interpreter_exiting();

} // namespace pyvorn
