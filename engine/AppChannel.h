#pragma once

class UsbTransferChannel;

namespace kestrup {

// The application's one transfer channel, as the engine reaches it. The
// application object owns the channel and registers it at construction; tests
// register their own.
class AppChannel {
  public:
    // Any thread; null until registered.
    static UsbTransferChannel* Get();
    static void Set(UsbTransferChannel* channel);
};

}  // namespace kestrup
