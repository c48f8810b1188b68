#include "platform/usbio/libusb/LibusbStatus.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include "platform/usbio/UsbioTypes.h"

namespace platform::usbio {
namespace {

TEST(LibusbStatusTest, NoLibusbFailureBecomesSuccess) {
    for (int error = -1; error >= -99; --error) {
        EXPECT_NE(LibusbStatus::FromError(error), 0u) << error;
    }
    for (int status = LIBUSB_TRANSFER_ERROR; status <= 20; ++status) {
        EXPECT_NE(LibusbStatus::FromTransfer(status), 0u) << status;
    }
    EXPECT_EQ(LibusbStatus::FromError(LIBUSB_SUCCESS), 0u);
    EXPECT_EQ(LibusbStatus::FromTransfer(LIBUSB_TRANSFER_COMPLETED), 0u);
}

TEST(LibusbStatusTest, FailuresWithADriverMeaningTakeTheDriversStatus) {
    // What the transport and the engine tell apart.
    EXPECT_EQ(LibusbStatus::FromTransfer(LIBUSB_TRANSFER_CANCELLED), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(LibusbStatus::FromTransfer(LIBUSB_TRANSFER_NO_DEVICE), USBIO_ERR_DEVICE_GONE);
    EXPECT_EQ(LibusbStatus::FromError(LIBUSB_ERROR_NO_DEVICE), USBIO_ERR_DEVICE_GONE);
    EXPECT_EQ(LibusbStatus::FromTransfer(LIBUSB_TRANSFER_TIMED_OUT), 0xE000100Cu);
    EXPECT_EQ(LibusbStatus::FromError(LIBUSB_ERROR_TIMEOUT), 0xE000100Cu);
    // A stall is the driver's stall, whichever way libusb reports it.
    EXPECT_EQ(LibusbStatus::FromTransfer(LIBUSB_TRANSFER_STALL), 0xE0000004u);
    EXPECT_EQ(LibusbStatus::FromError(LIBUSB_ERROR_PIPE), 0xE0000004u);
    EXPECT_EQ(LibusbStatus::FromTransfer(LIBUSB_TRANSFER_OVERFLOW),
              LibusbStatus::FromError(LIBUSB_ERROR_OVERFLOW));
    // Refused access stays recognisable as such.
    EXPECT_EQ(LibusbStatus::FromError(LIBUSB_ERROR_ACCESS), LibusbStatus::kAccessDenied);
    EXPECT_EQ(LibusbStatus::FromError(LIBUSB_ERROR_INVALID_PARAM), USBIO_ERR_INVALID_PARAMETER);
}

}  // namespace
}  // namespace platform::usbio
