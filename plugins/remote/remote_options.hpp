// The options text of a remote device:
//   endpoint=tcp://HOST:PORT [timeout_ms=N] [server_key=FILE client_secret=FILE] -- REMOTE OPTIONS
// Items before a lone `--` are this plug-in's, separated by white space; everything after it is
// the served device's own options text, forwarded unchanged (leading white space aside).
//   endpoint=ENDPOINT     the vorn-serve to reach                         (required)
//   timeout_ms=N          how long a request waits for its reply        (default 2000)
//   server_key=FILE       the server's CURVE public key (Z85 text file)   (with client_secret)
//   client_secret=FILE    this client's CURVE secret key                  (with server_key)
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace vorn::remote {

struct RemoteOptions {
    std::string endpoint;
    std::chrono::milliseconds timeout{2000};
    // CURVE keys in Z85; all empty without CURVE.
    std::string server_key;
    std::string client_secret;
    std::string client_public;
    std::string device_options; // forwarded to the server's plug-in
};

// Throws std::invalid_argument naming the offending item (unknown key, missing endpoint,
// malformed number, one CURVE key without the other), and std::runtime_error for a key file
// that cannot be read.
RemoteOptions parse_remote_options(std::string_view text);

// The keys with one line of help each, for get_device_options().
std::string describe_remote_options();

} // namespace vorn::remote
