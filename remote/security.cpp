#include "security.hpp"

#include <zmq.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace vorn::remote {

bool is_loopback_endpoint(const std::string &endpoint) {
    if (endpoint.starts_with("ipc://") || endpoint.starts_with("inproc://")) {
        return true;
    }
    if (!endpoint.starts_with("tcp://")) {
        return false;
    }
    std::string host = endpoint.substr(6);
    // tcp://source;destination binds nothing; refuse to guess.
    if (host.find(';') != std::string::npos) {
        return false;
    }
    if (host.starts_with("[")) {
        const auto close = host.find(']');
        return close != std::string::npos && host.substr(1, close - 1) == "::1";
    }
    host = host.substr(0, host.rfind(':'));
    if (host == "localhost") {
        return true;
    }
    // Only a dotted 127.x.y.z of four decimal parts.
    if (!host.starts_with("127.")) {
        return false;
    }
    int parts = 1;
    int digits = 0;
    for (char c : host) {
        if (c == '.') {
            if (digits == 0) {
                return false;
            }
            ++parts;
            digits = 0;
        } else if (c >= '0' && c <= '9' && digits < 3) {
            ++digits;
        } else {
            return false;
        }
    }
    return parts == 4 && digits > 0;
}

std::string bindable_endpoint(const std::string &endpoint) {
    if (!endpoint.starts_with("tcp://")) {
        return endpoint;
    }
    const auto colon = endpoint.rfind(':');
    const std::string host = endpoint.substr(6, colon == std::string::npos ? 0 : colon - 6);
    const std::string port = colon == std::string::npos ? "" : endpoint.substr(colon + 1);
    if (colon == std::string::npos || colon < 6 || host.empty()) {
        throw std::invalid_argument("endpoint " + endpoint + " is not tcp://HOST:PORT");
    }
    if (port != "*") {
        unsigned long number = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (port.empty() || error != std::errc() || end != port.data() + port.size() ||
            number > 65535) {
            throw std::invalid_argument("endpoint " + endpoint + ": port '" + port +
                                        "' is not 1 to 65535, or * for any free port");
        }
    }
    return host == "localhost" ? "tcp://127.0.0.1:" + port : endpoint;
}

namespace {

enum class KeyKind { public_key, secret_key };

const char *kind_name(KeyKind kind) {
    return kind == KeyKind::public_key ? "public" : "secret";
}

// The key, and the kind its comment line names (empty when it names none).
std::pair<std::string, std::optional<KeyKind>> read_marked_key(const std::filesystem::path &path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read key file " + path.string());
    }
    std::optional<KeyKind> marked;
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) {
            continue;
        }
        if (line[first] == '#') {
            if (line.find("CURVE public key") != std::string::npos) {
                marked = KeyKind::public_key;
            } else if (line.find("CURVE secret key") != std::string::npos) {
                marked = KeyKind::secret_key;
            }
            continue;
        }
        const auto last = line.find_last_not_of(" \t\r");
        std::string key = line.substr(first, last - first + 1);
        std::array<std::uint8_t, 32> decoded{};
        if (key.size() != 40 || zmq_z85_decode(decoded.data(), key.c_str()) == nullptr) {
            throw std::runtime_error("key file " + path.string() +
                                     " does not hold a 40-character Z85 CURVE key");
        }
        return {key, marked};
    }
    throw std::runtime_error("key file " + path.string() + " holds no key");
}

std::string read_key_of_kind(const std::filesystem::path &path, KeyKind wanted) {
    auto [key, marked] = read_marked_key(path);
    if (marked && *marked != wanted) {
        throw std::runtime_error("key file " + path.string() + " holds a " + kind_name(*marked) +
                                 " key where a " + kind_name(wanted) +
                                 " key is needed (were the server's and the client's key files "
                                 "mixed up?)");
    }
    return key;
}

} // namespace

std::string read_public_key_file(const std::filesystem::path &path) {
    return read_key_of_kind(path, KeyKind::public_key);
}

std::string read_secret_key_file(const std::filesystem::path &path) {
    std::string key = read_key_of_kind(path, KeyKind::secret_key);
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && (info.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(info.st_mode & 07777));
        throw std::runtime_error("secret key file " + path.string() +
                                 " may be read by others (mode " + mode +
                                 "): refusing to use it; run chmod 600 " + path.string());
    }
    public_key_of(key); // a malformed secret fails here, naming the problem
    return key;
}

bool looks_like_secret_key_file(const std::filesystem::path &path) {
    if (path.extension() == ".secret") {
        return true;
    }
    try {
        const auto marked = read_marked_key(path).second;
        return marked && *marked == KeyKind::secret_key;
    } catch (const std::exception &) {
        return false;
    }
}

std::string public_key_of(const std::string &secret_z85) {
    std::array<char, 41> public_key{};
    if (secret_z85.size() != 40 || zmq_curve_public(public_key.data(), secret_z85.c_str()) != 0) {
        throw std::runtime_error("malformed CURVE secret key");
    }
    return public_key.data();
}

void write_key_pair(const std::string &prefix) {
    std::array<char, 41> public_key{};
    std::array<char, 41> secret_key{};
    if (zmq_curve_keypair(public_key.data(), secret_key.data()) != 0) {
        throw std::runtime_error("this ZeroMQ has no CURVE support");
    }
    const std::string secret_path = prefix + ".secret";
    const std::string public_path = prefix + ".pub";
    for (const auto &path : {secret_path, public_path}) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0) {
            throw std::runtime_error("key file " + path + " exists already: not overwriting it");
        }
    }
    const auto write = [](const std::string &path, const std::string &text, mode_t mode) {
        // Exclusive, no symlink followed, and the final mode from the first byte on.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              mode);
        if (fd < 0) {
            throw std::runtime_error("cannot create key file " + path + ": " +
                                     std::strerror(errno) +
                                     (errno == EEXIST ? " (not overwriting it)" : ""));
        }
        // The umask may have taken bits from a public key's mode; a secret's is never widened.
        const bool written = ::fchmod(fd, mode) == 0 &&
                             ::write(fd, text.data(), text.size()) ==
                                 static_cast<ssize_t>(text.size());
        if (::close(fd) != 0 || !written) {
            ::unlink(path.c_str());
            throw std::runtime_error("cannot write key file " + path);
        }
    };
    write(secret_path, "# vorn CURVE secret key\n" + std::string(secret_key.data()) + "\n", 0600);
    try {
        write(public_path, "# vorn CURVE public key\n" + std::string(public_key.data()) + "\n",
              0644);
    } catch (...) {
        ::unlink(secret_path.c_str());
        throw;
    }
}

} // namespace vorn::remote
