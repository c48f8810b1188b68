#pragma once

#include <cstdint>
#include <vector>

#include "platform/TimeFacility.h"

namespace testsupport {

// Checks that a close kept its bound. In program time, from the pauses the
// time facility recorded during the close: one pause before closing, and all
// of them (a pause after a file, the frame's last notifications) within the
// bound. Measured (`tookMs`, program time at `microsPerMs`), with an allowance
// of one real second for the real cost of the threads' ends, which a read or
// flash wait that ran out instead of being cancelled still exceeds many times.
void ExpectCloseWithinBound(const std::vector<platform::TimeFacility::Record>& records,
                            std::uint64_t tookMs, std::uint32_t microsPerMs);

}  // namespace testsupport
