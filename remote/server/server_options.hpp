// vorn-serve's command line, parsed without side effects so that every usage error is found
// before anything is bound or loaded.
#pragma once

#include "server.hpp"

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace vorn::remote {

extern const char *const usage_text;

struct UsageError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

struct CommandLine {
    bool help = false;
    bool insecure = false;
    std::string keygen; // a key pair's prefix: write it and exit
    std::string plugin;
    ServerOptions server;
};

// Throws UsageError naming the offending argument.
CommandLine parse_command_line(int argc, const char *const *argv);

// A duration: a number with a unit (ms, s, min); a bare number means seconds. Throws
// UsageError for zero, a negative or a malformed value.
std::chrono::milliseconds parse_duration(const std::string &text, const std::string &flag);

// A path as given, or the bare name of a plug-in shipped with vorn-serve (NAME finds
// libvorn_NAME.so in pyvorn_device_plugins beside this program or in its environment).
std::filesystem::path find_plugin(const std::string &spec, const char *program);

} // namespace vorn::remote
