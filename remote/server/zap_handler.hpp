// The ZeroMQ authentication handler (ZAP) of a CURVE server: admits a client only when its
// public key is one of the keys in the allowed-keys folder.
#pragma once

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
    // std::runtime_error for an unreadable folder or key file, or a folder without keys.
    ZapHandler(zmq::context_t &context, const std::filesystem::path &allowed_dir);

    zmq::socket_t &socket() { return socket_; }

    // Answers one pending request. Server thread only; does not block.
    void handle();

  private:
    zmq::socket_t socket_;
    std::filesystem::path allowed_dir_;
    std::set<std::string> allowed_; // Z85 public keys
    // A refused client retries its handshake every reconnect interval: log each one once a
    // minute, not on every retry.
    std::map<std::string, std::chrono::steady_clock::time_point> refusals_logged_;
};

} // namespace vorn::remote
