// How a stream's delivery thread lives beside the Python interpreter.
#pragma once

#include "event_queue.hpp"

namespace pyvorn {

// Hooks for make_queued_callback and KeptAliveStream:
//  - the delivery thread keeps one Python thread state for its whole life, so each callback only
//    takes the interpreter lock instead of creating and deleting a thread state;
//  - a wait for a delivery thread runs with the interpreter lock released, because that thread
//    needs the lock to finish its callback and to drop the Python callable. Inside an
//    InterruptibleWaits scope on the main thread, a pending signal (Ctrl-C) ends the wait: the
//    Python error is left set for the caller to raise, and the stream ends on its own once its
//    callback returns.
const vorn::stream::DeliveryThreadHooks &python_delivery_hooks();

// Marks the waits of the current thread as interruptible while it lives: only where the caller
// raises the pending Python error afterwards (DataStream.stop, __exit__), never in a destructor.
class InterruptibleWaits {
  public:
    InterruptibleWaits();
    ~InterruptibleWaits();
    InterruptibleWaits(const InterruptibleWaits &) = delete;
    InterruptibleWaits &operator=(const InterruptibleWaits &) = delete;
};

// Registers, once per process, an atexit function that stops every running delivery thread
// before the interpreter finalizes (a thread that asks for the lock during finalization is ended
// by the interpreter mid-frame). It waits for callbacks in progress to return, however long they
// take, also for streams stopped from a delivery thread. Caller: a Python thread holding the
// interpreter lock.
void stop_deliveries_at_exit();

// Whether that atexit function has run: a stream started after it would still be delivering
// when the interpreter finalizes. Any thread.
bool interpreter_exiting();

} // namespace pyvorn
