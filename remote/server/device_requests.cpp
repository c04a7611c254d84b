#include "device_requests.hpp"

#include <algorithm>
#include <functional>

namespace vorn::remote {
namespace {

Status from_device(BasicDeviceStatus status) {
    return status == BasicDeviceStatus::Success ? Status::ok : Status::failure;
}

void refuse(Message &reply, std::string text) {
    reply.status = Status::error;
    reply.text = std::move(text);
}

void read_block(Device &device, const Message &request, const ReplyBudget &budget,
                Message &reply, zmq::message_t &reply_payload) {
    if (request.length > budget.max_read_bytes) {
        return refuse(reply, "remote: a read of " + std::to_string(request.length) +
                                 " bytes is over the server's limit of " +
                                 std::to_string(budget.max_read_bytes) +
                                 " bytes per piece (--max-message)");
    }
    if (budget.in_flight->load(std::memory_order_relaxed) + request.length >
        budget.max_bytes_in_flight) {
        return refuse(reply, "remote: this client's read replies waiting in the server are at "
                             "the limit of " +
                                 std::to_string(budget.max_bytes_in_flight) +
                                 " bytes (--max-stream-bytes); read the replies");
    }
    if (request.length == 0) {
        reply.length = 0;
        return;
    }
    std::uint64_t got = 0;
    // The message carries exactly the bytes the device reported: nothing it did not fill leaves.
    reply_payload = counted_message(request.length, budget.in_flight, [&](std::uint8_t *bytes) {
        got = std::min(device.read(request.addr, request.length, bytes), request.length);
        return got;
    });
    reply.length = got;
}

} // namespace

void serve_device_request(Device &device, const Message &request, const zmq::message_t *payload,
                          const ReplyBudget &budget, Message &reply,
                          zmq::message_t &reply_payload) {
    switch (request.op) {
    case Op::set_register:
        reply.status = from_device(device.set_register(request.addr, request.value, request.mask));
        return;
    case Op::send_registers:
        reply.status = from_device(device.send_registers());
        return;
    case Op::set_register_sync:
        reply.status =
            from_device(device.set_register_sync(request.addr, request.value, request.mask));
        return;
    case Op::get_register:
        reply.value = device.get_register(request.addr);
        return;
    case Op::read_registers:
        reply.status = from_device(device.read_registers());
        return;
    case Op::get_register_sync: {
        const auto value = device.get_register_sync(request.addr);
        reply.status = value ? Status::ok : Status::failure;
        reply.value = value.value_or(0);
        return;
    }
    case Op::trigger:
        reply.status =
            from_device(device.trigger(request.addr, static_cast<std::int32_t>(request.value)));
        return;
    case Op::write: {
        if (payload == nullptr || payload->size() == 0) {
            reply.length = 0;
            return;
        }
        // The device may write through the pointer's bytes only; a copy would cost a piece.
        auto *bytes = const_cast<std::uint8_t *>(payload->data<std::uint8_t>());
        reply.length = std::min<std::uint64_t>(device.write(request.addr, payload->size(), bytes),
                                               payload->size());
        return;
    }
    case Op::read:
        return read_block(device, request, budget, reply, reply_payload);
    case Op::get_status:
    case Op::get_info: {
        const auto text = request.op == Op::get_status ? device.get_status() : device.get_info();
        reply.status = text ? Status::ok : Status::failure;
        reply.text = text.value_or("");
        return;
    }
    default:
        return refuse(reply, "remote: " + op_name(request.op) + " is not a device request");
    }
}

} // namespace vorn::remote
