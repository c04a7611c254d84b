#include "zap_handler.hpp"

#include "security.hpp"

#include <spdlog/spdlog.h>
#include <zmq_addon.hpp>

#include <array>
#include <stdexcept>
#include <vector>

namespace vorn::remote {

ZapHandler::ZapHandler(zmq::context_t &context, const std::filesystem::path &allowed_dir)
    : socket_(context, zmq::socket_type::rep), allowed_dir_(allowed_dir) {
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(allowed_dir, error)) {
        if (entry.is_regular_file()) {
            allowed_.insert(read_key_file(entry.path()));
        }
    }
    if (error) {
        throw std::runtime_error("cannot read the allowed-keys folder " + allowed_dir.string() +
                                 ": " + error.message());
    }
    if (allowed_.empty()) {
        throw std::runtime_error("the allowed-keys folder " + allowed_dir.string() +
                                 " holds no key: no client could connect");
    }
    socket_.bind("inproc://zeromq.zap.01");
}

void ZapHandler::handle() {
    std::vector<zmq::message_t> request;
    if (!zmq::recv_multipart(socket_, std::back_inserter(request), zmq::recv_flags::dontwait)) {
        return;
    }
    // version, request id, domain, address, identity, mechanism, credentials...
    std::string status = "400";
    std::string reason = "malformed authentication request";
    std::string address = request.size() > 3 ? request[3].to_string() : "?";
    if (request.size() >= 7 && request[5].to_string() == "CURVE" && request[6].size() == 32) {
        std::array<char, 41> key{};
        zmq_z85_encode(key.data(), request[6].data<std::uint8_t>(), 32);
        if (allowed_.contains(key.data())) {
            status = "200";
            reason = "OK";
        } else {
            reason = "public key not allowed";
            const auto now = std::chrono::steady_clock::now();
            auto [logged, first] = refusals_logged_.try_emplace(address + " " + key.data(), now);
            if (first || now - logged->second > std::chrono::minutes(1)) {
                logged->second = now;
                spdlog::warn("refused client {}: public key {} is not in {}", address, key.data(),
                             allowed_dir_.string());
            }
            if (refusals_logged_.size() > 10000) {
                refusals_logged_.clear();
            }
        }
    } else {
        spdlog::warn("refused client {}: {}", address, reason);
    }
    const std::string version = request.empty() ? "1.0" : request[0].to_string();
    const std::string request_id = request.size() > 1 ? request[1].to_string() : "";
    std::array<zmq::const_buffer, 6> reply = {zmq::buffer(version), zmq::buffer(request_id),
                                              zmq::buffer(status),  zmq::buffer(reason),
                                              zmq::buffer("", 0),   zmq::buffer("", 0)};
    zmq::send_multipart(socket_, reply);
}

} // namespace vorn::remote
