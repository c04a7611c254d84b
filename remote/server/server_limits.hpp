// What an operator decides about vorn-serve: the devices clients may open, and what one client
// may cost the server. Plain values, filled from the command line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace vorn::remote {

struct ServerLimits {
    // Largest incoming frame (ZMQ_MAXMSGSIZE; a peer that sends more is disconnected), and the
    // largest stream chunk and block-transfer piece the server hands out.
    std::size_t max_message_bytes = 16u << 20;
    // A stream's chunks in the server's outbox plus those ZeroMQ has not yet written; also the
    // read-reply bytes one client may have waiting in the server.
    std::size_t max_stream_bytes = 32u << 20;
    std::size_t max_devices_per_client = 16;
    std::size_t max_streams_per_client = 16;
    std::size_t max_clients = 64;
};

struct DevicePolicy {
    // Published devices: name to the plug-in options each client's device is made from.
    std::map<std::string, std::string> devices{{"default", ""}};
    // Clients may append their own options text to a published device's (and so reach whatever
    // the plug-in's options reach: files, addresses, hardware).
    bool client_options = false;
};

} // namespace vorn::remote
