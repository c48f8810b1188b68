#pragma once

// Delivers what is waiting for the UI thread, one message at a time, while a
// notification handler runs (the sending threads stay blocked meanwhile). A
// quit request met here is posted again, so the application still ends once
// the handler has returned; the result is then false. True when the queue
// was emptied. Does nothing off the UI thread.
bool PumpPendingMessages();
