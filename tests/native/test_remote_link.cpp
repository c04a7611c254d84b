// The remote client's reply waiter: which frame it takes for the reply to a request.
#include "link.hpp"

#include <gtest/gtest.h>

#include <zmq_addon.hpp>

#include <string>
#include <vector>

namespace {

using namespace vorn::remote;

// A ROUTER standing in for the server, and a DEALER to it over inproc.
struct Pair {
    zmq::context_t context;
    zmq::socket_t server{context, zmq::socket_type::router};
    zmq::socket_t client{context, zmq::socket_type::dealer};
    zmq::message_t route;

    Pair() {
        server.bind("inproc://link-test");
        client.connect("inproc://link-test");
        const auto header = encode_message(Message{.op = Op::ping, .text = {}});
        client.send(zmq::buffer(header), zmq::send_flags::none);
        std::vector<zmq::message_t> frames;
        EXPECT_TRUE(zmq::recv_multipart(server, std::back_inserter(frames)));
        route = std::move(frames[0]);
    }

    void reply(const Message &message, const std::string &payload = "") {
        const auto header = encode_message(message);
        server.send(zmq::buffer(route.data(), route.size()), zmq::send_flags::sndmore);
        server.send(zmq::buffer(header),
                    payload.empty() ? zmq::send_flags::none : zmq::send_flags::sndmore);
        if (!payload.empty()) {
            server.send(zmq::buffer(payload), zmq::send_flags::none);
        }
    }
};

TEST(AwaitReply, SkipsRepliesToOlderRequestsAndTakesItsOwnWithItsPayload) {
    Pair pair;
    const Message request{.op = Op::read, .seq = 7, .text = {}};
    pair.reply({.op = Op::read, .seq = 6, .length = 1, .text = {}}, "old"); // an older request's
    pair.reply({.op = Op::write, .seq = 7, .text = {}});                   // another op's
    pair.server.send(zmq::buffer(pair.route.data(), pair.route.size()), zmq::send_flags::sndmore);
    pair.server.send(zmq::str_buffer("not a header"), zmq::send_flags::none);
    pair.reply({.op = Op::read, .seq = 7, .length = 2, .text = {}}, "new");
    Message reply;
    zmq::message_t payload;
    ASSERT_TRUE(await_reply(pair.client, request, Clock::now() + std::chrono::seconds(5), reply,
                            &payload));
    EXPECT_EQ(reply.length, 2u);
    EXPECT_EQ(payload.to_string(), "new");
}

TEST(AwaitReply, TakesARefusalAndGivesUpAtTheDeadline) {
    Pair pair;
    const Message request{.op = Op::get_info, .seq = 3, .text = {}};
    Message reply;
    EXPECT_FALSE(
        await_reply(pair.client, request, Clock::now() + std::chrono::milliseconds(50), reply));
    pair.reply({.op = Op::refused, .status = Status::error, .text = "no"});
    ASSERT_TRUE(await_reply(pair.client, request, Clock::now() + std::chrono::seconds(5), reply));
    EXPECT_EQ(reply.op, Op::refused);
    EXPECT_EQ(reply.text, "no");
}

} // namespace
