// The last link of a stream's chain: turns each event into one call of the Python callback.
#pragma once

#include "bindings/buffer_objects.hpp"
#include "chunk_aligner.hpp"
#include "stream_statistics.hpp"

#include <vorn/device.hpp>

#include <functional>
#include <optional>
#include <string>

namespace pyvorn {

using ManagedBufferCallback =
    std::function<void(std::optional<ManagedBuffer>, std::optional<std::string>)>;
using DataViewCallback = std::function<void(std::optional<DataView>, std::optional<std::string>)>;

// Each returned consumer runs on the delivery thread only. Every call of the Python callback is
// guarded: an exception is logged as "Error in callback: {}" and delivery goes on. Destroying the
// consumer drops the Python callable (it takes the interpreter lock for that).
//
// Owned chunks become ManagedBuffer objects that own the bytes; lent chunks are refused with the
// text "Unsupported data type: DataView". `keep_alive` (the device's) is held by every delivered
// object whose bytes a plug-in's release function frees. `statistics` (not null) counts the
// payloads delivered and the exceptions the callback raised.
vorn::StreamCallback make_callback_consumer(const ManagedBufferCallback &callback,
                                            std::shared_ptr<void> keep_alive,
                                            std::shared_ptr<vorn::stream::StreamStatistics> statistics);

// Chunks become DataView objects. The memory behind each view is kept alive by the view: the
// owner named in `owner_slot` for pieces of the aligner, the moved chunk for owned chunks, and a
// copy for lent bytes with no owner.
vorn::StreamCallback
make_callback_consumer(const DataViewCallback &callback,
                       std::shared_ptr<vorn::stream::PieceOwnerSlot> owner_slot,
                       std::shared_ptr<void> keep_alive,
                       std::shared_ptr<vorn::stream::StreamStatistics> statistics);

} // namespace pyvorn
