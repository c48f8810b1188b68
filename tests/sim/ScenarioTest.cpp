#include "sim/Scenario.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

TEST(ScenarioTest, ReadsEveryDirective) {
    const char* text = R"(# a flaky instrument
attach-delay 30000
flash-time 20000     # twenty seconds
capacity 0x200000
packet-size 64
start-answer silent
answer  app.bin 3 0x85
silent  *       header
delay   data.dat 2 150000
vanish  boot.boot flash
flash-result app.bin write-fail
flash-result * erase-fail
serial TP-0042
flash-dir /tmp/flash
)";
    Scenario s;
    std::string error;
    ASSERT_TRUE(Scenario::Parse(text, s, error)) << error;
    EXPECT_EQ(s.attachDelayMs, 30000u);
    EXPECT_EQ(s.flashTimeMs, 20000u);
    EXPECT_EQ(s.capacity, 0x200000u);
    EXPECT_EQ(s.packetSize, 64);
    EXPECT_FALSE(s.startAnswer.has_value());
    ASSERT_EQ(s.faults.size(), 4u);

    const Scenario::Fault* f = s.FaultAt("app.bin", 3);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->action, Scenario::Action::Answer);
    EXPECT_EQ(f->answer, 0x85);
    EXPECT_EQ(s.FaultAt("other", 0)->action, Scenario::Action::Silent);
    EXPECT_EQ(s.FaultAt("data.dat", 2)->delayMs, 150000u);
    EXPECT_EQ(s.FaultAt("boot.boot", Scenario::Point::kFlash)->action, Scenario::Action::Vanish);
    EXPECT_EQ(s.FaultAt("data.dat", 3), nullptr);

    EXPECT_EQ(s.FlashOutcomeFor("app.bin"), Scenario::FlashOutcome::WriteFails);
    EXPECT_EQ(s.FlashOutcomeFor("x.boot"), Scenario::FlashOutcome::EraseFails);
    EXPECT_EQ(s.serial, "TP-0042");
    EXPECT_EQ(s.flashDir, "/tmp/flash/");
}

TEST(ScenarioTest, AnEmptyScenarioIsAHealthyInstrument) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(Scenario::Parse("\n# nothing\n", s, error));
    EXPECT_EQ(s.startAnswer, std::optional<std::uint8_t>(4));
    EXPECT_TRUE(s.faults.empty());
    EXPECT_EQ(s.FlashOutcomeFor("app.bin"), Scenario::FlashOutcome::Ok);
}

TEST(ScenarioTest, MistakesAreReportedWithTheirLine) {
    Scenario s;
    std::string error;
    EXPECT_FALSE(Scenario::Parse("flash-time 10\nanswer a.bin 1 300\n", s, error));
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    EXPECT_FALSE(Scenario::Parse("explode now\n", s, error));
    EXPECT_NE(error.find("unknown directive"), std::string::npos) << error;
    EXPECT_FALSE(Scenario::Parse("delay a.bin x 5\n", s, error));
    EXPECT_FALSE(Scenario::Parse("flash-time -5\n", s, error));
    EXPECT_FALSE(Scenario::Parse("serial\n", s, error));
    EXPECT_FALSE(Scenario::Parse("serial " + std::string(127, 'x') + "\n", s, error));
    EXPECT_FALSE(Scenario::Parse("flash-dir flash\n", s, error));  // not absolute
    EXPECT_FALSE(Scenario::Parse("packet-size 32\n", s, error));   // breaks the frames' padding
    EXPECT_FALSE(Scenario::Load("/nonexistent/scenario", s, error));
}

}  // namespace
}  // namespace sim
