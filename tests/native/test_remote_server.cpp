// vorn-serve's parts: the stream outbox's drop accounting, and a server run in-process that
// must answer garbage with a refusal and keep serving.
#include "loader.hpp"
#include "protocol.hpp"
#include "served_stream.hpp"
#include "server.hpp"

#include <gtest/gtest.h>
#include <zmq_addon.hpp>

#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vorn::remote {
namespace {

int released = 0;
void count_release(std::uint8_t *data) {
    ++released;
    delete[] data;
}

StreamEvent owned_chunk(std::size_t size) {
    return StreamEvent{std::in_place_index<2>, count_release, new std::uint8_t[size], size};
}

// Drains everything, recording "chunk:N" or the text of each item.
std::vector<std::string> drain_all(StreamOutbox &outbox) {
    std::vector<std::string> seen;
    outbox.drain(
        [&](OutItem &item) {
            seen.push_back(item.op == Op::stream_chunk
                               ? "chunk:" + std::to_string(item.payload.size())
                           : item.op == Op::stream_end ? "end"
                                                       : item.text);
            item.payload = zmq::message_t(); // as sending does: the bytes leave with it
            return true;
        },
        1000);
    return seen;
}

TEST(StreamOutbox, DropsWhenFullAndReportsEachRunOnceInOrder) {
    const int wake = eventfd(0, EFD_NONBLOCK);
    released = 0;
    {
        StreamOutbox outbox(wake, 300, 100);
        for (int i = 0; i < 5; ++i) {
            StreamEvent chunk = owned_chunk(100);
            outbox.push(chunk); // the last two do not fit and stay with the caller's event
        }
        EXPECT_EQ(released, 2);
        StreamEvent text{std::in_place_index<1>, "device error"};
        outbox.push(text);
        EXPECT_EQ(outbox.drain([](OutItem &) { return false; }, 10),
                  StreamOutbox::Drained::blocked); // a full network keeps everything
        EXPECT_EQ(
            drain_all(outbox),
            (std::vector<std::string>{"chunk:100", "chunk:100", "chunk:100",
                                      "remote: 2 chunks dropped by the server", "device error"}));
        EXPECT_EQ(released, 5);
        std::uint8_t lent[7] = {};
        StreamEvent view{std::in_place_index<3>, ChunkView{lent, sizeof(lent)}};
        outbox.push(view);
        StreamEvent dropped_run_one = owned_chunk(400);
        outbox.push(dropped_run_one);
        StreamEvent end;
        outbox.push(end);
        EXPECT_EQ(
            drain_all(outbox),
            (std::vector<std::string>{"chunk:7", "remote: 1 chunks dropped by the server", "end"}));
        EXPECT_EQ(outbox.dropped_total(), 3u);
        std::uint64_t wakes = 0;
        EXPECT_EQ(::read(wake, &wakes, sizeof(wakes)), 8);
        EXPECT_GE(wakes, 2u);
    }
    EXPECT_EQ(released, 6);
    ::close(wake);
}

// A busy outbox gathers chunks without waking the server, but never leaves one unannounced
// once the server has stopped looking.
TEST(StreamOutbox, CoalescesWakeUpsOnlyWhileTheServerIsDraining) {
    const int wake = eventfd(0, EFD_NONBLOCK);
    const auto woken = [wake] {
        std::uint64_t count = 0;
        return ::read(wake, &count, sizeof(count)) == 8;
    };
    {
        StreamOutbox outbox(wake, 1000, 100, 250);
        const auto push_chunk = [&] {
            StreamEvent chunk = owned_chunk(100);
            outbox.push(chunk);
        };
        push_chunk();
        EXPECT_TRUE(woken()); // idle: at once
        EXPECT_EQ(outbox.drain([](OutItem &) { return true; }, 10), StreamOutbox::Drained::sent);
        push_chunk();
        push_chunk();
        EXPECT_FALSE(woken()); // the server promised to come within a tick
        push_chunk();
        EXPECT_TRUE(woken()); // 300 bytes >= flush_bytes
        EXPECT_EQ(outbox.drain([](OutItem &) { return true; }, 10), StreamOutbox::Drained::sent);
        StreamEvent text{std::in_place_index<1>, "device error"};
        outbox.push(text);
        EXPECT_TRUE(woken()); // texts and the end marker never wait
        EXPECT_EQ(outbox.drain([](OutItem &) { return true; }, 10), StreamOutbox::Drained::sent);
        EXPECT_EQ(outbox.drain([](OutItem &) { return true; }, 10), StreamOutbox::Drained::empty);
        push_chunk();
        EXPECT_TRUE(woken()); // the server found nothing and stopped ticking
    }
    ::close(wake);
}

class ServedSim : public ::testing::Test {
  protected:
    void SetUp() override {
        ServerOptions options;
        options.bind = "tcp://127.0.0.1:*";
        options.policy.client_options = true;
        server_ = std::make_unique<Server>(get_device_manager(VORN_SIM_PLUGIN), options);
        thread_ = std::thread([this] { server_->run(); });
        client_.set(zmq::sockopt::linger, 0);
        client_.set(zmq::sockopt::rcvtimeo, 5000);
        client_.connect(server_->endpoint());
    }
    void TearDown() override {
        Server::request_stop();
        thread_.join();
        client_.close();
        server_.reset();
    }

    Message exchange(const std::vector<std::string> &frames) {
        std::vector<zmq::const_buffer> buffers;
        for (const auto &frame : frames) {
            buffers.push_back(zmq::buffer(frame));
        }
        zmq::send_multipart(client_, buffers);
        std::vector<zmq::message_t> reply;
        EXPECT_TRUE(zmq::recv_multipart(client_, std::back_inserter(reply)));
        Message message;
        std::string error;
        EXPECT_TRUE(parse_message(reply.at(0).data(), reply.at(0).size(), message, error)) << error;
        return message;
    }

    static std::string header(Op op, std::uint64_t session = 0, const std::string &text = "") {
        Message m;
        m.op = op;
        m.seq = 9;
        m.session = session;
        m.text = text;
        const auto bytes = encode_message(m);
        return std::string(bytes.begin(), bytes.end());
    }

    std::unique_ptr<Server> server_;
    std::thread thread_;
    zmq::context_t context_;
    zmq::socket_t client_{context_, zmq::socket_type::dealer};
};

TEST_F(ServedSim, RefusesGarbageAndKeepsServing) {
    for (const auto &frames : std::vector<std::vector<std::string>>{
             {"hello"}, {std::string(48, '\0')}, {header(Op::ping), "a", "b"}}) {
        const Message refusal = exchange(frames);
        EXPECT_EQ(refusal.op, Op::refused);
        EXPECT_EQ(refusal.status, Status::error);
        EXPECT_NE(refusal.text.find("remote: bad message"), std::string::npos) << refusal.text;
    }
    const Message created = exchange({header(Op::create_device, 0, "default\nname=n")});
    ASSERT_EQ(created.status, Status::ok) << created.text;
    EXPECT_EQ(created.seq, 9u);
    const Message info = exchange({header(Op::get_info, created.session)});
    EXPECT_NE(info.text.find("'n'"), std::string::npos) << info.text;
    const Message unknown = exchange({header(Op::get_info, created.session + 1)});
    EXPECT_EQ(unknown.status, Status::error);
    EXPECT_NE(unknown.text.find("no device"), std::string::npos);
    const Message bad_options = exchange({header(Op::create_device, 0, "default\nnonsense")});
    EXPECT_EQ(bad_options.status, Status::error);
    EXPECT_EQ(bad_options.value, invalid_options_error);
}

// Counts a stream's bytes, checking them against the sim's pattern (byte[i] = i % 251).
struct PatternState {
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t offset = 0;
    std::uint64_t bad = 0;
    std::vector<std::string> texts;
    bool ended = false;
    int destroyed = 0;
};

void check_pattern(void *state, StreamEvent *event) {
    auto &s = *static_cast<PatternState *>(state);
    std::lock_guard lock(s.mutex);
    if (event->index() == 0) {
        s.ended = true;
    } else if (event->index() == 1) {
        s.texts.push_back(std::get<1>(*event));
    } else {
        const std::uint8_t *data = nullptr;
        std::uint64_t size = 0;
        if (event->index() == 2) {
            data = std::get<2>(*event).data;
            size = std::get<2>(*event).size;
        } else {
            data = std::get<3>(*event).data;
            size = std::get<3>(*event).size;
        }
        for (std::uint64_t i = 0; i < size; ++i) {
            s.bad += data[i] != (s.offset + i) % 251;
        }
        s.offset += size;
    }
    s.changed.notify_all();
}

void count_destroy(void *state) {
    if (state == nullptr) {
        return;
    }
    auto &s = *static_cast<PatternState *>(state);
    std::lock_guard lock(s.mutex);
    ++s.destroyed;
}

constexpr StreamCallbackOps pattern_ops{check_pattern, count_destroy};

TEST_F(ServedSim, RemotePluginStreamsByteExactAndStopsFromTwoThreads) {
    auto manager = get_device_manager(VORN_REMOTE_PLUGIN);
    auto device = manager->create_device("endpoint=" + server_->endpoint() +
                                         " -- stream_bytes=3000000 stream_chunks=lent");
    EXPECT_EQ(device->set_register_sync(1, 2, 3), BasicDeviceStatus::Success);
    PatternState state;
    auto stream = device->start_read_stream(0, StreamCallback(&pattern_ops, &state), 10000);
    ASSERT_TRUE(stream && *stream);
    {
        std::unique_lock lock(state.mutex);
        ASSERT_TRUE(
            state.changed.wait_for(lock, std::chrono::seconds(30), [&] { return state.ended; }));
    }
    std::thread other([&] { (*stream)->stop(); });
    (*stream)->stop();
    EXPECT_EQ(state.destroyed, 1); // whichever stop returns, the callback is gone
    other.join();
    EXPECT_EQ(state.destroyed, 1);
    EXPECT_EQ(state.offset, 3000000u);
    EXPECT_EQ(state.bad, 0u);
    EXPECT_TRUE(state.texts.empty());
    stream->reset();
    device.reset();
}

} // namespace
} // namespace vorn::remote
