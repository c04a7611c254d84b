// Received ZeroMQ messages handed to the module as owned chunks without a copy.
#pragma once

#include <vorn/device.hpp>

#include <zmq.hpp>

namespace vorn::remote {

// An owned chunk over the message's bytes; its release (any thread) closes the message. An
// empty message becomes an empty lent view.
StreamEvent adopt_message(zmq::message_t &&message);

// ZeroMQ allocates every received message on its I/O thread; the module frees it later on the
// delivery thread. With glibc's default trim threshold the heap is then trimmed and faulted in
// again as the module's queue fills and drains, which cost more CPU than the kernel's copy of the
// bytes. This raises the threshold to 32 MiB for the process, once, unless the user already set
// it (MALLOC_TRIM_THRESHOLD_, or GLIBC_TUNABLES with glibc.malloc.trim_threshold). Any thread.
void keep_receive_heap_warm();

} // namespace vorn::remote
