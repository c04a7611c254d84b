#include "remote_options.hpp"

#include "security.hpp"

#include <vorn/options.hpp>

namespace vorn::remote {

RemoteOptions parse_remote_options(std::string_view text) {
    RemoteOptions options;
    std::string server_key_file;
    std::string client_secret_file;
    OptionsText items;
    try {
        items = split_options(text, OptionsTail::forwarded);
    } catch (const MalformedOption &e) {
        throw std::invalid_argument("remote option '" + e.item +
                                    "' is not key=value (device options go after a lone --)");
    }
    options.device_options = std::move(items.tail);
    for (const Option &item : items.items) {
        if (item.key == "endpoint") {
            options.endpoint = item.value;
        } else if (item.key == "device") {
            if (item.value.empty()) {
                throw std::invalid_argument("remote option 'device=' needs a name");
            }
            options.device = item.value;
        } else if (item.key == "timeout_ms") {
            const auto ms = parse_unsigned(item.value);
            if (!ms || *ms == 0 || *ms > 3'600'000) {
                throw std::invalid_argument(
                    "remote option '" + std::string(item.item) +
                    "': timeout_ms is a number of milliseconds, 1 to 3600000");
            }
            options.timeout = std::chrono::milliseconds(*ms);
        } else if (item.key == "server_key") {
            server_key_file = item.value;
        } else if (item.key == "client_secret") {
            client_secret_file = item.value;
        } else {
            throw std::invalid_argument("unknown remote option '" + std::string(item.item) + "'");
        }
    }
    if (options.endpoint.empty()) {
        throw std::invalid_argument("remote options need endpoint=tcp://HOST:PORT");
    }
    if (server_key_file.empty() != client_secret_file.empty()) {
        throw std::invalid_argument("server_key and client_secret go together");
    }
    if (!server_key_file.empty()) {
        options.server_key = read_public_key_file(server_key_file);
        options.client_secret = read_secret_key_file(client_secret_file);
        options.client_public = public_key_of(options.client_secret);
        if (options.server_key == options.client_public) {
            throw std::runtime_error("server_key " + server_key_file +
                                     " is this client's own public key, not the server's");
        }
    }
    return options;
}

std::string describe_remote_options() {
    return "endpoint=tcp://HOST:PORT  the vorn-serve to reach (required)\n"
           "device=NAME  a device the server publishes (default 'default'; see list_devices)\n"
           "timeout_ms=N  milliseconds a request waits for its reply, or a block transfer for "
           "progress (default 2000)\n"
           "server_key=FILE  the server's CURVE public key, Z85 text (with client_secret)\n"
           "client_secret=FILE  this client's CURVE secret key, Z85 text (with server_key)\n"
           "Items go apart by white space or commas; a value holding either goes in double quotes.\n"
           "-- OPTIONS  everything after a lone -- is added to the device's options text (only by "
           "a server started with --client-options)";
}

} // namespace vorn::remote
