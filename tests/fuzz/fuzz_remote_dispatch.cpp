// Fuzzes vorn-serve's handling of parsed requests against simulated devices: sessions, their
// ownership, the device policy, the limits and the device calls, without sockets. The input is
// a script of requests from three clients: two connections without keys and one with a CURVE
// key. Checked on top of "no crash, no sanitizer report, no leak":
//  - a request that names a session its sender does not own gets exactly the reply an unknown
//    session gets, and nothing reaches the device;
//  - a session's owner is never told its session is unknown while it lives;
//  - a read reply carries exactly the bytes it reports, never more than asked;
//  - no client ever holds more devices or streams than the limits allow.
#include "remote/protocol.hpp"
#include "remote/server/sessions.hpp"

#include <spdlog/spdlog.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

extern "C" vorn::DeviceManager *create_manager();

namespace {

using namespace vorn::remote;

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "request dispatch: %s\n", what.c_str());
    std::abort();
}

struct Input {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t pos = 0;

    bool done() const { return pos >= size; }
    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
    std::uint64_t number(int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value = value << 8 | byte();
        }
        return value;
    }
};

const std::array<Client, 3> clients = {Client{"route-a", "", "a"}, Client{"route-b", "", "b"},
                                       Client{"route-c", std::string(40, 'K'), "c"}};

struct Known {
    std::size_t creator;           // index into clients
    std::set<std::string> routes;  // routes that attached with the right key
    std::uint64_t key;
};

bool is_session_op(Op op) {
    switch (op) {
    case Op::create_device:
    case Op::server_status:
    case Op::list_devices:
    case Op::attach:
    case Op::ping:
        return false;
    default:
        return true;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    spdlog::set_level(spdlog::level::off);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    Input in{data, size};
    DevicePolicy policy;
    policy.devices = {{"default", "stream_rate=2000"},
                      {"lent", "stream_chunks=lent stream_rate=2000"}};
    policy.client_options = (in.byte() & 1) != 0;
    ServerLimits limits;
    limits.max_message_bytes = 64u << 10;
    limits.max_stream_bytes = 256u << 10;
    limits.max_devices_per_client = 3;
    limits.max_streams_per_client = 2;
    limits.max_clients = 2;
    {
        Sessions sessions(std::shared_ptr<vorn::DeviceManager>(create_manager()), policy, limits,
                          wake, [](const std::string &, const Message &) {});
        std::map<std::uint64_t, Known> known;
        std::vector<std::uint64_t> ids; // every session and stream number seen, for reuse
        for (int step = 0; step < 64 && !in.done(); ++step) {
            const std::size_t who = in.byte() % clients.size();
            const Client &client = clients[who];
            Message request;
            request.op = static_cast<Op>(1 + in.byte() % last_op);
            request.seq = static_cast<std::uint32_t>(step);
            const std::uint8_t pick = in.byte();
            request.session = !ids.empty() && pick < 224 ? ids[pick % ids.size()] : in.number(8);
            const std::uint8_t stream_pick = in.byte();
            request.stream = !ids.empty() ? ids[stream_pick % ids.size()] : 0;
            request.addr = static_cast<std::uint32_t>(in.number(2) << 2);
            request.value = static_cast<std::uint32_t>(in.number(4));
            request.mask = static_cast<std::uint32_t>(in.number(4));
            // Mostly small lengths; sometimes the session's own key (an attach or a ping that
            // should work), sometimes anything.
            const std::uint8_t length_kind = in.byte();
            const auto named = known.find(request.session);
            request.length = length_kind < 200   ? in.number(2)
                             : length_kind < 240 ? (named != known.end() ? named->second.key : 0)
                                                 : in.number(8);
            const std::size_t text_size = in.byte() % 24;
            for (std::size_t i = 0; i < text_size && !in.done(); ++i) {
                request.text += static_cast<char>(in.byte());
            }
            // Through the wire format, as the server sees it.
            const auto bytes = encode_message(request);
            Message parsed;
            std::string error;
            if (!parse_message(bytes.data(), bytes.size(), parsed, error)) {
                continue;
            }
            zmq::message_t payload(static_cast<std::size_t>(in.byte()) * 16);
            Message reply;
            zmq::message_t reply_payload;
            const bool replied = sessions.handle(
                client, parsed, payload.size() != 0 ? &payload : nullptr, reply, reply_payload);
            if (parsed.op == Op::ping) {
                if (replied) {
                    fail("a ping was answered");
                }
                continue;
            }
            if (!replied) {
                fail("a request other than ping got no reply");
            }
            if (reply.op != parsed.op || reply.seq != parsed.seq) {
                fail("a reply does not carry its request's op and seq");
            }
            const auto session = known.find(parsed.session);
            const bool owner = session != known.end() &&
                               clients[session->second.creator].key == client.key &&
                               session->second.routes.contains(client.route);
            const std::string unknown = "remote: no device " + std::to_string(parsed.session) +
                                        " on this server (it was destroyed, or the server "
                                        "restarted)";
            if (is_session_op(parsed.op)) {
                const bool told_unknown = reply.status == Status::error && reply.text == unknown;
                if (!owner && (!told_unknown || reply_payload.size() != 0 || reply.value != 0 ||
                               reply.length != 0 || reply.stream != parsed.stream)) {
                    fail("a request on a session its sender does not own was not treated as "
                         "unknown: " + reply.text);
                }
                if (owner && told_unknown) {
                    fail("an owner was told its live session is unknown");
                }
            }
            if (parsed.op == Op::read && reply_payload.size() != 0 &&
                (reply_payload.size() != reply.length || reply.length > parsed.length)) {
                fail("a read reply's bytes differ from its length, or exceed the request");
            }
            if (parsed.op == Op::create_device && reply.status == Status::ok) {
                known[reply.session] = Known{who, {client.route}, reply.length};
                ids.push_back(reply.session);
                std::size_t mine = 0;
                for (const auto &[id, k] : known) {
                    mine += clients[k.creator].route == client.route;
                }
                if (mine > limits.max_devices_per_client) {
                    fail("a client holds more devices than the limit");
                }
            }
            if (parsed.op == Op::attach && reply.status == Status::ok) {
                if (session == known.end() || parsed.length != session->second.key ||
                    clients[session->second.creator].key != client.key) {
                    fail("an attach without the session's key was accepted");
                }
                session->second.routes.insert(client.route);
            }
            if (parsed.op == Op::destroy_device && owner) {
                known.erase(session);
            }
            if (parsed.op == Op::stream_start && reply.status == Status::ok) {
                ids.push_back(reply.stream);
                const auto most = limits.max_streams_per_client * limits.max_clients;
                if (sessions.streams().size() > most) {
                    fail("more streams than the limits allow");
                }
            }
        }
    }
    ::close(wake);
    return 0;
}
