#include "stream_forwarder.hpp"

#include <array>

namespace vorn::remote {

Forwarded forward_stream(zmq::socket_t &router, ServedStream &stream, std::size_t max_items) {
    bool gone = false;
    const auto send_item = [&](OutItem &item) {
        Message header;
        header.op = item.op;
        header.session = stream.session;
        header.stream = stream.id;
        // A chunk's header has no text: encoded on the stack, no allocation per chunk.
        std::array<std::uint8_t, header_size> fixed{};
        std::vector<std::uint8_t> with_text;
        zmq::const_buffer bytes(fixed.data(), fixed.size());
        if (item.text.empty()) {
            encode_header(header, fixed.data());
        } else {
            header.text = item.text; // copied: a blocked item is offered again
            with_text = encode_message(header);
            bytes = zmq::buffer(with_text);
        }
        try {
            if (!router.send(zmq::buffer(stream.route),
                             zmq::send_flags::sndmore | zmq::send_flags::dontwait)) {
                return false; // the client's pipe is full; the outbox absorbs or drops
            }
        } catch (const zmq::error_t &e) {
            if (e.num() != EHOSTUNREACH) {
                throw;
            }
            gone = true;
            return true;
        }
        const bool chunk = item.op == Op::stream_chunk;
        router.send(bytes, chunk ? zmq::send_flags::sndmore : zmq::send_flags::none);
        if (chunk) {
            router.send(item.payload, zmq::send_flags::none);
        }
        return true;
    };
    const auto drained = stream.outbox->drain(send_item, max_items);
    if (gone) {
        return Forwarded::gone;
    }
    switch (drained) {
    case StreamOutbox::Drained::empty:
        return Forwarded::idle;
    case StreamOutbox::Drained::sent:
        return Forwarded::ticking;
    case StreamOutbox::Drained::more:
        return Forwarded::more;
    default:
        return Forwarded::blocked;
    }
}

} // namespace vorn::remote
