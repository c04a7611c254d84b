#include "zap_handler.hpp"

#include "security.hpp"

#include <spdlog/spdlog.h>
#include <zmq_addon.hpp>

#include <array>
#include <stdexcept>
#include <vector>

namespace vorn::remote {

ZapHandler::ZapHandler(zmq::context_t &context, const std::filesystem::path &allowed_dir)
    : socket_(context, zmq::socket_type::rep), allowed_dir_(allowed_dir),
      allowed_(load(allowed_dir)) {
    socket_.bind("inproc://zeromq.zap.01");
}

std::set<std::string> ZapHandler::load(const std::filesystem::path &allowed_dir) {
    std::set<std::string> allowed;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(allowed_dir, error)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        if (looks_like_secret_key_file(entry.path())) {
            throw std::runtime_error("the allowed-keys folder holds a secret key, " +
                                     entry.path().string() +
                                     ": only clients' public keys belong there (and the secret "
                                     "should be treated as exposed)");
        }
        allowed.insert(read_public_key_file(entry.path()));
    }
    if (error) {
        throw std::runtime_error("cannot read the allowed-keys folder " + allowed_dir.string() +
                                 ": " + error.message());
    }
    if (allowed.empty()) {
        throw std::runtime_error("the allowed-keys folder " + allowed_dir.string() +
                                 " holds no key: no client could connect");
    }
    return allowed;
}

void ZapHandler::reload() {
    try {
        auto allowed = load(allowed_dir_);
        spdlog::info("allowed keys re-read from {}: {} keys (were {})", allowed_dir_.string(),
                     allowed.size(), allowed_.size());
        allowed_ = std::move(allowed);
    } catch (const std::exception &e) {
        spdlog::error("allowed keys not re-read, the {} loaded before stay: {}", allowed_.size(),
                      e.what());
    }
}

void ZapHandler::handle() {
    std::vector<zmq::message_t> request;
    if (!zmq::recv_multipart(socket_, std::back_inserter(request), zmq::recv_flags::dontwait)) {
        return;
    }
    // version, request id, domain, address, identity, mechanism, credentials...
    std::string status = "400";
    std::string reason = "malformed authentication request";
    std::string user_id;
    std::string address = request.size() > 3 ? printable(request[3].to_string(), 64) : "?";
    if (request.size() >= 7 && request[5].to_string() == "CURVE" && request[6].size() == 32) {
        std::array<char, 41> key{};
        zmq_z85_encode(key.data(), request[6].data<std::uint8_t>(), 32);
        if (allowed_.contains(key.data())) {
            status = "200";
            reason = "OK";
            user_id = key.data();
        } else {
            reason = "public key not allowed";
            refusals_.warn(address + " " + key.data(),
                           "refused client " + address + ": public key " + key.data() +
                               " is not in " + allowed_dir_.string());
        }
    } else {
        refusals_.warn(address, "refused client " + address + ": " + reason);
    }
    const std::string version = request.empty() ? "1.0" : request[0].to_string();
    const std::string request_id = request.size() > 1 ? request[1].to_string() : "";
    std::array<zmq::const_buffer, 6> reply = {zmq::buffer(version), zmq::buffer(request_id),
                                              zmq::buffer(status),  zmq::buffer(reason),
                                              zmq::buffer(user_id), zmq::buffer("", 0)};
    zmq::send_multipart(socket_, reply);
}

} // namespace vorn::remote
