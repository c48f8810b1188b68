#include "platform/usbio/libusb/LibusbStatus.h"

#include <libusb.h>

#include "platform/usbio/UsbioTypes.h"

namespace platform::usbio {

std::uint32_t LibusbStatus::FromError(int error) {
    switch (error) {
        case LIBUSB_SUCCESS:
            return 0;
        case LIBUSB_ERROR_INVALID_PARAM:
            return USBIO_ERR_INVALID_PARAMETER;
        case LIBUSB_ERROR_ACCESS:
            return kAccessDenied;
        case LIBUSB_ERROR_NO_DEVICE:
            return USBIO_ERR_DEVICE_GONE;
        case LIBUSB_ERROR_NOT_FOUND:
            return 0xE0001016;  // interface not found
        case LIBUSB_ERROR_BUSY:
            return 0xE0000400;  // USBD busy
        case LIBUSB_ERROR_TIMEOUT:
            return 0xE000100C;  // the request has been timed out
        case LIBUSB_ERROR_OVERFLOW:
            return 0xE0000008;  // data overrun
        case LIBUSB_ERROR_PIPE:
            return 0xE0000004;  // stall PID
        case LIBUSB_ERROR_INTERRUPTED:
            return ERROR_OPERATION_ABORTED;
        case LIBUSB_ERROR_NO_MEM:
            return 0xE0001003;  // out of memory
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return 0xE0000E00;  // USBD not supported
        case LIBUSB_ERROR_IO:
        case LIBUSB_ERROR_OTHER:
        default:
            return USBIO_ERR_FAILED;
    }
}

std::uint32_t LibusbStatus::FromTransfer(int transferStatus) {
    switch (transferStatus) {
        case LIBUSB_TRANSFER_COMPLETED:
            return 0;
        case LIBUSB_TRANSFER_CANCELLED:
            return ERROR_OPERATION_ABORTED;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return USBIO_ERR_DEVICE_GONE;
        case LIBUSB_TRANSFER_STALL:
            return 0xE0000004;  // stall PID
        case LIBUSB_TRANSFER_TIMED_OUT:
            return 0xE000100C;
        case LIBUSB_TRANSFER_OVERFLOW:
            return 0xE0000008;  // data overrun
        case LIBUSB_TRANSFER_ERROR:
        default:
            return 0xE0000005;  // device not responding
    }
}

}  // namespace platform::usbio
