#pragma once

#include <array>
#include <cstdint>

#include "platform/LittleEndian.h"

// The records exchanged with the USB driver, byte for byte (little-endian,
// packed). Each is a plain byte image with accessors for the fields the
// transport reads or writes.

namespace usbrecord {

using platform::le::Get16;
using platform::le::Get32;
using platform::le::Put16;
using platform::le::Put32;

}  // namespace usbrecord

// Reply of the driver-information request: u16 interface version at 0,
// 10 bytes not interpreted.
struct UsbDriverInfo {
    std::array<std::uint8_t, 12> bytes{};
    std::uint16_t InterfaceVersion() const { return usbrecord::Get16(&bytes[0]); }
};

// Input of the descriptor request: u32 recipient, u8 descriptor type, u8
// descriptor index, u16 language ID.
struct UsbDescriptorRequest {
    std::array<std::uint8_t, 8> bytes{};
};

// Input of the set-configuration request: u16 configuration index, u16
// number n of interface settings, then 32 settings of 8 bytes (u16 interface
// number, u16 alternate setting, u32 maximum transfer size), the first n used.
struct UsbConfigurationRequest {
    static constexpr std::uint32_t kMaxSettings = 32;
    std::array<std::uint8_t, 260> bytes{};
};

// One pipe entry of the configuration information: u32 pipe type at 0
// (0 control, 1 isochronous, 2 bulk, 3 interrupt), endpoint address at 10.
struct UsbPipeInfo {
    std::array<std::uint8_t, 16> bytes{};
    std::uint32_t PipeType() const { return usbrecord::Get32(&bytes[0]); }
    std::uint8_t EndpointAddress() const { return bytes[10]; }
};

// Reply of the configuration-information request: u32 at 0 not interpreted,
// u32 pipe count at 4, 256 bytes of interface area at 8, 32 pipe entries of
// 16 bytes from 264.
struct UsbConfigurationInfo {
    static constexpr std::uint32_t kMaxPipes = 32;
    static constexpr std::uint32_t kPipeOffset = 264;
    std::array<std::uint8_t, 776> bytes{};
    // The count as the driver gave it; it is not checked against kMaxPipes.
    std::uint32_t PipeCount() const { return usbrecord::Get32(&bytes[4]); }
    // Entry i < kMaxPipes.
    const std::uint8_t* PipeEntry(std::uint32_t i) const { return &bytes[kPipeOffset + 16 * i]; }
};
