// vorn-serve: serves the devices of one plug-in over ZeroMQ to the remote client plug-in.
#include "log_text.hpp"
#include "security.hpp"
#include "server.hpp"
#include "server_options.hpp"

#include <loader.hpp>

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <csignal>
#include <iostream>
#include <string>

namespace {

void on_signal(int) { vorn::remote::Server::request_stop(); }
void on_hangup(int) { vorn::remote::Server::request_reload(); }

} // namespace

int main(int argc, char **argv) {
    vorn::remote::CommandLine command;
    try {
        command = vorn::remote::parse_command_line(argc, argv);
    } catch (const vorn::remote::UsageError &e) {
        std::cerr << "vorn-serve: " << e.what() << "\n\n" << vorn::remote::usage_text;
        return 2;
    }
    if (command.help) {
        std::cout << vorn::remote::usage_text;
        return 0;
    }
    if (!command.keygen.empty()) {
        try {
            vorn::remote::write_key_pair(command.keygen);
        } catch (const std::exception &e) {
            std::cerr << "vorn-serve: " << e.what() << "\n";
            return 1;
        }
        return 0;
    }
    const auto &options = command.server;
    const bool curve = !options.curve_secret.empty();
    if (!curve && !command.insecure && !vorn::remote::is_loopback_endpoint(options.bind)) {
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
    std::signal(SIGHUP, on_hangup);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const auto plugin = vorn::remote::find_plugin(command.plugin, argv[0]);
        auto manager = vorn::get_device_manager(plugin);
        if (!manager) {
            throw std::runtime_error("the plug-in " + plugin.string() +
                                     " created no device manager");
        }
        vorn::remote::Server server(manager, options);
        manager.reset();
        if (command.insecure && !vorn::remote::is_loopback_endpoint(options.bind) && !curve) {
            spdlog::warn("serving without CURVE on a non-loopback address (--insecure)");
        }
        std::string names;
        for (const auto &[name, text] : options.policy.devices) {
            names += (names.empty() ? "" : ", ") + name;
        }
        spdlog::info("publishing devices: {}{}", names,
                     options.policy.client_options ? " (clients may add their own options)" : "");
        spdlog::info("serving {} on {}{}", plugin.string(), server.endpoint(),
                     curve ? " with CURVE" : "");
        server.run();
        spdlog::info("stopping");
    } catch (const std::exception &e) {
        spdlog::error("{}", vorn::remote::printable(e.what(), 1000));
        return 1;
    }
    return 0;
}
