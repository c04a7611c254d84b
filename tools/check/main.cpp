// vorn-check: loads a device-manager plug-in with the module's own loader and checks the contract
// the module relies on. One line per check (PASS/FAIL/SKIP and a reason); exit status 1 on any
// FAIL, 2 on a usage error. Each check runs in a child process, so a crash or a hang is a FAIL
// of that check and the others still run.
#include "checks.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

namespace {

using vorn::check::Check;
using vorn::check::Outcome;
using vorn::check::Status;
using vorn::check::Target;

constexpr const char *usage =
    "usage: vorn-check PLUGIN [-o OPTIONS] [--addr N] [--finite-options TEXT]\n"
    "                  [--refuse-options TEXT] [--timeout SECONDS]\n"
    "  -o OPTIONS             device options for create_device (default empty)\n"
    "  --addr N               register and stream address (default 0)\n"
    "  --finite-options TEXT  device options whose stream ends by itself (end-marker check)\n"
    "  --refuse-options TEXT  device options whose device refuses streams (refusal check)\n"
    "  --timeout SECONDS      a check that takes longer fails as hung (default 20)\n"
    "example: vorn-check build/pyvorn_device_plugins/libvorn_sim.so "
    "--finite-options stream_bytes=65536\n";

// Runs in the child: one byte of status, then the reason. Never returns.
[[noreturn]] void run_child(const Check &check, const Target &target, int out) {
    Outcome outcome{Status::Fail, ""};
    try {
        outcome = check.run(target);
    } catch (const std::exception &e) {
        outcome = {Status::Fail, e.what()};
    } catch (...) {
        outcome = {Status::Fail, "an exception of unknown type"};
    }
    std::string message(1, static_cast<char>('0' + static_cast<int>(outcome.status)));
    message += outcome.reason;
    for (std::size_t done = 0; done < message.size();) {
        const auto n = write(out, message.data() + done, message.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    std::fflush(nullptr);
    _exit(0); // a plug-in's late threads or static destructors must not change the verdict
}

Outcome run_isolated(const Check &check, const Target &target, int timeout_s) {
    int fds[2];
    if (pipe(fds) != 0) {
        return {Status::Fail, std::string("pipe: ") + std::strerror(errno)};
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        run_child(check, target, fds[1]);
    }
    close(fds[1]);
    if (child < 0) {
        close(fds[0]);
        return {Status::Fail, std::string("fork: ") + std::strerror(errno)};
    }
    std::string message;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    bool hung = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{fds[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) == 0) {
            hung = true;
            break;
        }
        char buffer[512];
        const auto n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break; // the child is done (or died)
        }
        message.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (hung) {
        kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (hung) {
        return {Status::Fail, "hung: no verdict within " + std::to_string(timeout_s) + " s"};
    }
    if (WIFSIGNALED(status)) {
        return {Status::Fail, std::string("crashed: ") + strsignal(WTERMSIG(status))};
    }
    if (message.empty()) {
        return {Status::Fail, "the check's process exited with status " +
                                  std::to_string(WEXITSTATUS(status)) + " before its verdict"};
    }
    return {static_cast<Status>(message[0] - '0'), message.substr(1)};
}

std::uint32_t parse_addr(const std::string &text) {
    std::size_t used = 0;
    const auto value = std::stoull(text, &used, 0);
    if (used != text.size() || value > 0xFFFFFFFFull) {
        throw std::invalid_argument("not a 32-bit address: " + text);
    }
    return static_cast<std::uint32_t>(value);
}

} // namespace

int main(int argc, char **argv) {
    Target target;
    int timeout_s = 20;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            const auto value = [&]() -> std::string {
                if (i + 1 >= argc) {
                    throw std::invalid_argument(arg + " needs a value");
                }
                return argv[++i];
            };
            if (arg == "-h" || arg == "--help") {
                std::cout << usage;
                return 0;
            } else if (arg == "-o" || arg == "--options") {
                target.options = value();
            } else if (arg == "--addr") {
                target.addr = parse_addr(value());
            } else if (arg == "--finite-options") {
                target.finite_options = value();
            } else if (arg == "--refuse-options") {
                target.refuse_options = value();
            } else if (arg == "--timeout") {
                timeout_s = std::stoi(value());
            } else if (arg.starts_with("-") || !target.path.empty()) {
                throw std::invalid_argument("unexpected argument: " + arg);
            } else {
                target.path = arg;
            }
        }
        if (target.path.empty()) {
            throw std::invalid_argument("PLUGIN is required");
        }
    } catch (const std::exception &e) {
        std::cerr << "vorn-check: " << e.what() << "\n" << usage;
        return 2;
    }

    std::cout << "checking " << target.path << "\n";
    int failures = 0;
    bool usable = true; // no gate check failed
    for (const auto &check : vorn::check::all_checks()) {
        const std::string name = check.name;
        // A missing or wrong tag alone stops nothing: the loader's own refusal of a wrong tag
        // fails the manager check, which does.
        const bool gate = name == "loads" || name == "factory" || name == "manager";
        const auto outcome = usable || gate ? run_isolated(check, target, timeout_s)
                                            : Outcome{Status::Skip, "no manager to check"};
        usable = usable && !(gate && outcome.status == Status::Fail);
        static constexpr const char *labels[] = {"PASS", "FAIL", "SKIP"};
        std::printf("%s  %-24s %s\n", labels[static_cast<int>(outcome.status)], check.name,
                    outcome.reason.c_str());
        std::fflush(stdout);
        failures += outcome.status == Status::Fail;
    }
    std::printf("%d check(s) failed\n", failures);
    return failures > 0 ? 1 : 0;
}
