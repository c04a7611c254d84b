// vorn-serve: serves the devices of one plug-in over ZeroMQ to the remote client plug-in.
#include "security.hpp"
#include "server.hpp"

#include <loader.hpp>

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

namespace {

constexpr const char *usage_text =
    R"(usage: vorn-serve PLUGIN [--bind ENDPOINT] [--curve-secret FILE --allow-keys DIR]
                  [--insecure] [--client-timeout MS]
       vorn-serve --keygen PREFIX

Serves the devices of the device-manager plug-in PLUGIN to clients of the remote plug-in
(libvorn_remote.so).

  --bind ENDPOINT      ZeroMQ endpoint to listen on (default tcp://127.0.0.1:5555; a port of *
                       picks a free one, logged at start)
  --curve-secret FILE  the server's CURVE secret key: traffic is encrypted and only clients
  --allow-keys DIR     whose public key is a file in DIR are admitted
  --insecure           allow a non-loopback bind without CURVE (anyone who reaches the port
                       can drive the devices)
  --client-timeout MS  a client silent this long is gone: its streams stop and its devices are
                       destroyed (default 3000)
  --keygen PREFIX      write a new CURVE key pair to PREFIX.secret and PREFIX.pub, then exit

Example:
  vorn-serve --keygen server && vorn-serve --keygen alice && mkdir keys && cp alice.pub keys/
  vorn-serve libvorn_sim.so --bind tcp://0.0.0.0:5555 --curve-secret server.secret --allow-keys keys

Exit status: 0 after SIGINT or SIGTERM, 1 when serving fails (plug-in, keys, bind),
2 for a usage error or an unprotected non-loopback bind.
)";

int usage_error(const std::string &message) {
    std::cerr << "vorn-serve: " << message << "\n\n" << usage_text;
    return 2;
}

void on_signal(int) { vorn::remote::Server::request_stop(); }

} // namespace

int main(int argc, char **argv) {
    vorn::remote::ServerOptions options;
    std::string plugin;
    bool insecure = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const char *next = nullptr;
        if (arg == "-h" || arg == "--help") {
            std::cout << usage_text;
            return 0;
        } else if (arg == "--insecure") {
            insecure = true;
        } else if (arg == "--keygen" || arg == "--bind" || arg == "--curve-secret" ||
                   arg == "--allow-keys" || arg == "--client-timeout") {
            if ((next = value()) == nullptr) {
                return usage_error(std::string(arg) + " needs a value");
            }
            if (arg == "--keygen") {
                try {
                    vorn::remote::write_key_pair(next);
                } catch (const std::exception &e) {
                    std::cerr << "vorn-serve: " << e.what() << "\n";
                    return 1;
                }
                return 0;
            }
            if (arg == "--bind") {
                options.bind = next;
            } else if (arg == "--curve-secret") {
                options.curve_secret = next;
            } else if (arg == "--allow-keys") {
                options.allow_keys = next;
            } else {
                try {
                    options.client_timeout = std::chrono::milliseconds(std::stoul(next));
                } catch (const std::exception &) {
                    return usage_error("--client-timeout needs a number of milliseconds");
                }
            }
        } else if (arg.starts_with("-") || !plugin.empty()) {
            return usage_error("unexpected argument '" + std::string(arg) + "'");
        } else {
            plugin = arg;
        }
    }
    if (plugin.empty()) {
        return usage_error("no plug-in given");
    }
    if (options.curve_secret.empty() != options.allow_keys.empty()) {
        return usage_error("--curve-secret and --allow-keys go together");
    }
    const bool curve = !options.curve_secret.empty();
    if (!curve && !insecure && !vorn::remote::is_loopback_endpoint(options.bind)) {
        std::cerr << "vorn-serve: refusing to bind " << options.bind
                  << " without CURVE keys: any machine that reaches it could drive the devices "
                     "unauthenticated and unencrypted. Give --curve-secret FILE --allow-keys "
                     "DIR, or --insecure on a network you trust.\n";
        return 2;
    }

    spdlog::set_default_logger(spdlog::stderr_color_mt("vorn-serve"));
    spdlog::set_pattern("%Y-%m-%d %H:%M:%S.%e %^%l%$ %v");
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        auto manager = vorn::get_device_manager(plugin);
        if (!manager) {
            throw std::runtime_error("the plug-in " + plugin + " created no device manager");
        }
        vorn::remote::Server server(manager, options);
        manager.reset();
        if (insecure && !vorn::remote::is_loopback_endpoint(options.bind) && !curve) {
            spdlog::warn("serving without CURVE on a non-loopback address (--insecure)");
        }
        spdlog::info("serving {} on {}{}", plugin, server.endpoint(), curve ? " with CURVE" : "");
        server.run();
        spdlog::info("stopping");
    } catch (const std::exception &e) {
        spdlog::error("{}", e.what());
        return 1;
    }
    return 0;
}
