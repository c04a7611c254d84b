// The ZeroMQ authentication handler (ZAP) of a CURVE server: admits a client only when its
// public key is one of the keys in the allowed-keys folder, and names it by that key (the
// "User-Id" of each of its messages). The folder is read again on reload(), so a key can be
// revoked without a restart: connections already admitted stay until they reconnect.
#pragma once

#include "log_text.hpp"

#include <zmq.hpp>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>

namespace vorn::remote {

class ZapHandler {
  public:
    // Binds the context's ZAP endpoint and loads every key file of `allowed_dir`. Throws
    // std::runtime_error for an unreadable folder or key file, a secret key in it (naming the
    // file), or a folder without keys.
    ZapHandler(zmq::context_t &context, const std::filesystem::path &allowed_dir);

    // Reads the folder again. On an error the keys stay as they were and the error is logged.
    // Server thread only.
    void reload();

    zmq::socket_t &socket() { return socket_; }

    // Whether `key` (Z85) is allowed now. Server thread only.
    bool allows(const std::string &key) const { return allowed_.contains(key); }

    // Answers one pending request. Server thread only; does not block.
    void handle();

  private:
    static std::set<std::string> load(const std::filesystem::path &allowed_dir);

    zmq::socket_t socket_;
    std::filesystem::path allowed_dir_;
    std::set<std::string> allowed_; // Z85 public keys
    // A refused client retries its handshake every reconnect interval.
    RefusalLog refusals_{std::chrono::minutes(1)};
};

} // namespace vorn::remote
