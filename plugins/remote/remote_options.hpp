// The options text of a remote device:
//   endpoint=tcp://HOST:PORT [device=NAME] [timeout_ms=N] [server_key=FILE client_secret=FILE]
//       [-- DEVICE OPTIONS]
// Items before a lone `--` are this plug-in's, in the grammar of <vorn/options.hpp> (each key's
// meaning: describe_remote_options()); everything after it is this client's own options text for
// the device, forwarded unchanged (leading white space aside), which a server takes only when
// started with --client-options.
#pragma once

#include <chrono>
#include <optional>
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
    std::string device = "default";
    std::optional<std::string> device_options; // after `--`: the client's own options text
};

// Throws std::invalid_argument naming the offending item (unknown key, missing endpoint,
// malformed number, one CURVE key without the other), and std::runtime_error for a key file
// that cannot be read or is of the wrong kind, or a secret others may read.
RemoteOptions parse_remote_options(std::string_view text);

// The keys with one line of help each, for get_device_options().
std::string describe_remote_options();

} // namespace vorn::remote
