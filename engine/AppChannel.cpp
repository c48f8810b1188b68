#include "engine/AppChannel.h"

#include <atomic>

namespace kestrup {
namespace {
std::atomic<UsbTransferChannel*> g_channel{nullptr};
}

UsbTransferChannel* AppChannel::Get() {
    return g_channel.load();
}

void AppChannel::Set(UsbTransferChannel* channel) {
    g_channel.store(channel);
}

}  // namespace kestrup
