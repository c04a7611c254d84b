// A device served by vorn-serve: every operation is one request and reply, except block
// transfers, which travel in pieces (a few MiB, several in flight) and return the bytes the
// server confirmed. A request without a reply within the timeout fails as the device contract
// allows: Failure, no value, 0 bytes (for a block, the bytes confirmed before); get_status()
// then says why.
// A heartbeat thread tells the server this client is alive, so the server can tell a client
// that went away from one that is only idle.
#pragma once

#include "remote_options.hpp"
#include "request_channel.hpp"

#include <vorn/device.hpp>

#include <zmq.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace vorn::remote {

class RemoteDevice final : public Device {
  public:
    // Creates the device on the server. Throws std::runtime_error naming the endpoint when the
    // server does not answer within the timeout or refuses. `context` outlives the device.
    RemoteDevice(zmq::context_t &context, RemoteOptions options);
    // Ends the heartbeat, then asks the server to destroy the device (briefly: a server that
    // does not answer drops the device on its own when the heartbeats stop).
    ~RemoteDevice() override;

    BasicDeviceStatus set_register_sync(std::uint32_t addr, std::uint32_t value,
                                        std::uint32_t mask) override;
    BasicDeviceStatus set_register(std::uint32_t addr, std::uint32_t value,
                                   std::uint32_t mask) override;
    BasicDeviceStatus send_registers() override;
    std::optional<std::uint32_t> get_register_sync(std::uint32_t addr) override;
    std::uint32_t get_register(std::uint32_t addr) override;
    BasicDeviceStatus read_registers() override;
    BasicDeviceStatus trigger(std::uint32_t addr, std::int32_t value) override;
    std::uint64_t write(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) override;
    std::uint64_t read(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) override;
    std::optional<std::unique_ptr<DataStream>> start_read_stream(std::uint32_t addr,
                                                                 StreamCallback &&callback,
                                                                 std::uint64_t chunk_size) override;
    std::optional<std::string> get_status() override;
    std::optional<std::string> get_info() override;

  private:
    Message request(Op op, std::uint32_t addr = 0, std::uint32_t value = 0,
                    std::uint32_t mask = 0) const;
    // One round trip; false, with the reason kept for get_status(), when no reply came, the
    // server could not run the request, or (for a `device_result`) the device failed.
    bool call(Message request, Message &reply, bool device_result = false);
    BasicDeviceStatus status_call(Op op, std::uint32_t addr = 0, std::uint32_t value = 0,
                                  std::uint32_t mask = 0);
    void beat();
    void remember_error(const std::string &error);
    // A block write or read in pieces, several in flight; the bytes confirmed.
    std::uint64_t transfer(Op op, std::uint32_t addr, std::uint64_t length, std::uint8_t *data);

    static constexpr std::uint64_t preferred_piece = 4u << 20;
    static constexpr std::size_t pieces_in_flight = 4;
    // The destructor's farewell waits at most this long (or the timeout, when shorter).
    static constexpr auto destroy_wait = std::chrono::milliseconds(500);

    zmq::context_t &context_;
    RemoteOptions options_;
    RequestChannel channel_;
    CreatorProcess creator_;
    std::uint64_t session_ = 0;
    std::uint64_t session_key_ = 0;
    std::uint64_t piece_ = preferred_piece;
    std::mutex error_mutex_;
    std::string last_error_;
    std::mutex heartbeat_mutex_;
    // On the heap: a child made by fork() leaks it, since destroying a condition variable the
    // parent's heartbeat thread was waiting on blocks for a waiter that is not in the child.
    std::unique_ptr<std::condition_variable> heartbeat_stop_ =
        std::make_unique<std::condition_variable>();
    bool stopping_ = false;
    std::thread heartbeat_;
};

} // namespace vorn::remote
