#include "security.hpp"

#include <zmq.h>

#include <array>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>

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

std::string read_key_file(const std::filesystem::path &path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read key file " + path.string());
    }
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        const auto last = line.find_last_not_of(" \t\r");
        std::string key = line.substr(first, last - first + 1);
        std::array<std::uint8_t, 32> decoded{};
        if (key.size() != 40 || zmq_z85_decode(decoded.data(), key.c_str()) == nullptr) {
            throw std::runtime_error("key file " + path.string() +
                                     " does not hold a 40-character Z85 CURVE key");
        }
        return key;
    }
    throw std::runtime_error("key file " + path.string() + " holds no key");
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
    const auto write = [](const std::string &path, const char *key, mode_t mode) {
        std::ofstream out(path, std::ios::trunc);
        out << "# vorn CURVE key\n" << key << "\n";
        out.close();
        if (!out || chmod(path.c_str(), mode) != 0) {
            throw std::runtime_error("cannot write key file " + path);
        }
    };
    write(prefix + ".secret", secret_key.data(), 0600);
    write(prefix + ".pub", public_key.data(), 0644);
}

} // namespace vorn::remote
