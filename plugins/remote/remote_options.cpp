#include "remote_options.hpp"

#include "security.hpp"

#include <charconv>
#include <stdexcept>

namespace vorn::remote {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

} // namespace

RemoteOptions parse_remote_options(std::string_view text) {
    RemoteOptions options;
    std::string server_key_file;
    std::string client_secret_file;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && is_space(text[pos])) {
            ++pos;
        }
        if (pos == text.size()) {
            break;
        }
        std::size_t end = pos;
        while (end < text.size() && !is_space(text[end])) {
            ++end;
        }
        const std::string_view item = text.substr(pos, end - pos);
        pos = end;
        if (item == "--") {
            while (pos < text.size() && is_space(text[pos])) {
                ++pos;
            }
            options.device_options = std::string(text.substr(pos));
            break;
        }
        const auto equals = item.find('=');
        if (equals == std::string_view::npos) {
            throw std::invalid_argument("remote option '" + std::string(item) +
                                        "' is not key=value (device options go after a lone --)");
        }
        const std::string_view key = item.substr(0, equals);
        const std::string value(item.substr(equals + 1));
        if (key == "endpoint") {
            options.endpoint = value;
        } else if (key == "device") {
            if (value.empty()) {
                throw std::invalid_argument("remote option 'device=' needs a name");
            }
            options.device = value;
        } else if (key == "timeout_ms") {
            unsigned long ms = 0;
            const auto [end_ptr, error] =
                std::from_chars(value.data(), value.data() + value.size(), ms);
            if (error != std::errc() || end_ptr != value.data() + value.size() || ms == 0 ||
                ms > 3'600'000) {
                throw std::invalid_argument(
                    "remote option '" + std::string(item) +
                    "': timeout_ms is a number of milliseconds, 1 to 3600000");
            }
            options.timeout = std::chrono::milliseconds(ms);
        } else if (key == "server_key") {
            server_key_file = value;
        } else if (key == "client_secret") {
            client_secret_file = value;
        } else {
            throw std::invalid_argument("unknown remote option '" + std::string(item) + "'");
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
           "-- OPTIONS  everything after a lone -- is added to the device's options text (only by "
           "a server started with --client-options)";
}

} // namespace vorn::remote
