#include "tests/support/CloseBound.h"

#include <gtest/gtest.h>

#include "engine/EngineShutdown.h"

namespace testsupport {

void ExpectCloseWithinBound(const std::vector<platform::TimeFacility::Record>& records,
                            std::uint64_t tookMs, std::uint32_t microsPerMs) {
    constexpr std::uint64_t kRealAllowanceMicros = 1000000;
    std::vector<std::uint32_t> closingPauses;
    std::uint64_t paused = 0;
    for (const auto& r : records) {
        if (r.kind == platform::TimeFacility::Kind::Sleep) {
            paused += r.timeoutMs;
            if (r.what == "before closing") {
                closingPauses.push_back(r.timeoutMs);
            }
        }
    }
    EXPECT_EQ(closingPauses, std::vector<std::uint32_t>{kestrup::kPauseBeforeClosingMs});
    EXPECT_LE(paused, kestrup::kCloseBoundMs);
    EXPECT_LE(tookMs, kestrup::kCloseBoundMs + kRealAllowanceMicros / microsPerMs);
}

}  // namespace testsupport
