#include "kept_alive_stream.hpp"

namespace pyvorn {

KeptAliveStream::KeptAliveStream(std::unique_ptr<vorn::Device::DataStream> stream,
                                 std::shared_ptr<void> keep_alive)
    : keep_alive_(std::move(keep_alive)), stream_(std::move(stream)) {}

KeptAliveStream::~KeptAliveStream() = default;

void KeptAliveStream::stop() { stream_->stop(); }

} // namespace pyvorn
