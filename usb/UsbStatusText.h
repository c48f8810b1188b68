#pragma once

#include <cstdint>

// The text of a USB transport status: the codes of the driver, the bus
// driver and the host controller, and those of the transport itself. Returns
// null for a code without a text (0xE0001106, 0xE000000E, Win32 error codes
// and anything unknown). Any thread.
const char* UsbStatusText(std::uint32_t status);
