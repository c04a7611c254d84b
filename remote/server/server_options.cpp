#include "server_options.hpp"

#include "security.hpp"

#include <charconv>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace vorn::remote {

const char *const usage_text =
    R"(usage: vorn-serve PLUGIN [--bind ENDPOINT] [--curve-secret FILE --allow-keys DIR]
                  [--device NAME=OPTIONS ...] [--client-options] [--insecure]
                  [--client-timeout DURATION] [--max-message BYTES] [--max-stream-bytes BYTES]
                  [--max-devices N] [--max-streams N] [--max-clients N]
       vorn-serve --keygen PREFIX

Serves the devices of the device-manager plug-in PLUGIN (a path, or the name of a shipped
plug-in such as sim) to clients of the remote plug-in (libvorn_remote.so).

  --bind ENDPOINT        ZeroMQ endpoint to listen on (default tcp://127.0.0.1:5555; a port of
                         * picks a free one, logged at start)
  --curve-secret FILE    the server's CURVE secret key: traffic is encrypted and only clients
  --allow-keys DIR       whose public key is a file in DIR are admitted (SIGHUP re-reads DIR)
  --insecure             allow a non-loopback bind without CURVE (anyone who reaches the port
                         can drive the devices)
  --device NAME=OPTIONS  publish a device: a client asking for NAME gets its own device made
                         from OPTIONS (repeatable; default: one device 'default', no options)
  --client-options       let clients add their own options text to a published device's: they
                         reach whatever the plug-in's options reach (files, hardware)
  --client-timeout DUR   a client silent this long is gone: its streams stop and its devices
                         are destroyed (default 3s; 500ms, 3s, 1min; a bare number is seconds)
  --max-message BYTES    largest frame a client may send, and largest stream chunk or block
                         piece (default 16M; suffixes k, M, G are powers of 1024)
  --max-stream-bytes B   a stream's bytes queued in the server, and a client's read replies
                         waiting (default 32M)
  --max-devices N        devices per client (default 16)
  --max-streams N        streams per client (default 16)
  --max-clients N        clients with devices at once (default 64)
  --keygen PREFIX        write a new CURVE key pair to PREFIX.secret and PREFIX.pub, then exit

Example:
  vorn-serve --keygen server && vorn-serve --keygen alice && mkdir keys && cp alice.pub keys/
  vorn-serve sim --bind tcp://0.0.0.0:5555 --curve-secret server.secret --allow-keys keys \
      --device fast="stream_rate=100000"

Exit status: 0 after SIGINT or SIGTERM, 1 when serving fails (plug-in, keys, bind),
2 for a usage error or an unprotected non-loopback bind.
)";

namespace {

std::uint64_t parse_count(const std::string &text, const std::string &flag, bool sizes) {
    std::string_view digits = text;
    std::uint64_t scale = 1;
    if (sizes && !digits.empty()) {
        const char suffix = digits.back();
        scale = suffix == 'k' || suffix == 'K' ? 1u << 10
                : suffix == 'M'                ? 1u << 20
                : suffix == 'G'                ? 1u << 30
                                               : 1;
        if (scale != 1) {
            digits.remove_suffix(1);
        }
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        value == 0 || value > (std::uint64_t{1} << 40) / scale) {
        const std::string what = sizes ? "size (for example 16M)" : "number";
        throw UsageError(flag + " needs a positive " + what + ", not '" + text + "'");
    }
    return value * scale;
}

} // namespace

std::chrono::milliseconds parse_duration(const std::string &text, const std::string &flag) {
    std::size_t unit = text.find_first_not_of("0123456789.");
    const std::string number = text.substr(0, unit);
    const std::string suffix = unit == std::string::npos ? "" : text.substr(unit);
    double scale_ms = 0;
    if (suffix.empty() || suffix == "s") {
        scale_ms = 1000;
    } else if (suffix == "ms") {
        scale_ms = 1;
    } else if (suffix == "min") {
        scale_ms = 60000;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    const double ms = value * scale_ms;
    if (number.empty() || scale_ms == 0 || error != std::errc() ||
        end != number.data() + number.size() || !(ms >= 1) || ms > 86'400'000) {
        throw UsageError(flag + " needs a positive duration such as 3s or 500ms (a bare number "
                                "is seconds), not '" +
                         text + "'");
    }
    return std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

CommandLine parse_command_line(int argc, const char *const *argv) {
    CommandLine command;
    bool devices_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                throw UsageError(arg + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            command.help = true;
            return command;
        } else if (arg == "--insecure") {
            command.insecure = true;
        } else if (arg == "--client-options") {
            command.server.policy.client_options = true;
        } else if (arg == "--keygen") {
            command.keygen = value();
        } else if (arg == "--bind") {
            command.server.bind = value();
            try {
                bindable_endpoint(command.server.bind);
            } catch (const std::invalid_argument &e) {
                throw UsageError(e.what());
            }
        } else if (arg == "--curve-secret") {
            command.server.curve_secret = value();
        } else if (arg == "--allow-keys") {
            command.server.allow_keys = value();
        } else if (arg == "--client-timeout") {
            command.server.client_timeout = parse_duration(value(), arg);
        } else if (arg == "--device") {
            const std::string item = value();
            const auto equals = item.find('=');
            const std::string name = item.substr(0, equals);
            if (equals == std::string::npos || name.empty() ||
                name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       "0123456789_.-") != std::string::npos) {
                throw UsageError("--device needs NAME=OPTIONS with a NAME of letters, digits, "
                                 "'_', '.' and '-', not '" + item + "'");
            }
            if (!devices_given) {
                command.server.policy.devices.clear();
                devices_given = true;
            }
            if (!command.server.policy.devices.emplace(name, item.substr(equals + 1)).second) {
                throw UsageError("--device " + name + " is given twice");
            }
        } else if (arg == "--max-message") {
            command.server.limits.max_message_bytes = parse_count(value(), arg, true);
        } else if (arg == "--max-stream-bytes") {
            command.server.limits.max_stream_bytes = parse_count(value(), arg, true);
        } else if (arg == "--max-devices") {
            command.server.limits.max_devices_per_client = parse_count(value(), arg, false);
        } else if (arg == "--max-streams") {
            command.server.limits.max_streams_per_client = parse_count(value(), arg, false);
        } else if (arg == "--max-clients") {
            command.server.limits.max_clients = parse_count(value(), arg, false);
        } else if (arg.starts_with("-") || !command.plugin.empty()) {
            throw UsageError("unexpected argument '" + arg + "'");
        } else {
            command.plugin = arg;
        }
    }
    if (!command.keygen.empty()) {
        return command;
    }
    if (command.plugin.empty()) {
        throw UsageError("no plug-in given");
    }
    if (command.server.curve_secret.empty() != command.server.allow_keys.empty()) {
        throw UsageError("--curve-secret and --allow-keys go together");
    }
    return command;
}

std::filesystem::path find_plugin(const std::string &spec, const char *program) {
    if (spec.find('/') != std::string::npos || spec.ends_with(".so")) {
        return spec;
    }
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        self = std::filesystem::absolute(program, error);
    }
    const auto here = self.parent_path();
    const std::string file = "libvorn_" + spec + ".so";
    // A build tree keeps the plug-ins beside the program; an environment, in its site-packages.
    std::vector<std::filesystem::path> candidates{here / "pyvorn_device_plugins" / file};
    for (const auto &lib : {here.parent_path() / "lib", here.parent_path() / "lib64"}) {
        for (const auto &entry : std::filesystem::directory_iterator(lib, error)) {
            candidates.push_back(entry.path() / "site-packages" / "pyvorn_device_plugins" / file);
        }
    }
    for (const auto &candidate : candidates) {
        if (std::filesystem::exists(candidate, error)) {
            return candidate;
        }
    }
    throw std::runtime_error("no plug-in named '" + spec + "' (looked for " +
                             candidates.front().string() +
                             " and in the environment's site-packages); give a path to a .so");
}

} // namespace vorn::remote
