// One stream of a remote device. It has its own connection to the server, owned by a receiving
// thread that turns the server's messages into the stream's events in the order they came: each
// chunk an owned chunk over the received message, texts, the end marker. A lost connection ends
// the stream with an error text naming the endpoint, then the end marker.
#pragma once

#include "remote_options.hpp"

#include <vorn/device.hpp>
#include <vorn/stream_thread.hpp>

#include <zmq.hpp>

#include <atomic>
#include <chrono>
#include <memory>

namespace vorn::remote {

class RemoteStream final : public Device::DataStream {
  public:
    // Asks the server to start the stream of device `session` (this connection presents the
    // session's `key` first); takes the callback only when it did. Returns nullptr, with the
    // server's reason in `refusal`, when the device does not stream or a limit refuses it.
    // Throws std::runtime_error naming the endpoint when the server does not answer in time or
    // cannot run the request. Caller: start_read_stream.
    static std::unique_ptr<RemoteStream>
    start(zmq::context_t &context, const RemoteOptions &options, std::uint64_t session,
          std::uint64_t key, std::uint32_t addr, std::uint64_t chunk_size,
          StreamCallback &callback, std::string &refusal);

    // StreamThread::stop(), after asking the server to stop (waiting for its answer at most the
    // timeout, measured from the first call; from the receiving thread itself, not at all).
    void stop() override;
    ~RemoteStream() override;

  private:
    RemoteStream(zmq::context_t &context, const RemoteOptions &options, zmq::socket_t socket,
                 std::uint64_t session, std::uint64_t stream, StreamCallback &&callback);
    void receive(StreamEmitter &emit, const std::stop_token &stop);
    void ask_server_to_stop();

    const RemoteOptions options_; // a copy: the stream may outlive its device
    zmq::socket_t socket_;
    zmq::socket_t monitor_;
    std::uint64_t session_;
    std::uint64_t stream_;
    bool lost_ = false; // receiving thread only
    std::atomic<std::chrono::steady_clock::rep> stop_deadline_{0};
    CreatorProcess creator_;
    StreamThread thread_; // last: started once everything above exists
};

} // namespace vorn::remote
