#include "shell/UnattendedReport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "engine/Notifications.h"

namespace {

using kestrup::ProgressWParam;
using kestrup::WM_SET_MODE_USB;
using kestrup::WM_UPGRADE_PROGRESS;

class UnattendedReportTest : public ::testing::Test {
  protected:
    UnattendedReportTest() : out_(std::tmpfile()), report_(out_) {}
    ~UnattendedReportTest() override { std::fclose(out_); }

    void Note(std::int32_t w, std::int64_t l = 0, const char* file = "tpro_app.bin") {
        report_.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(w),
                               static_cast<platform::LPARAM>(l), file);
    }
    void Connected() { report_.OnNotification(WM_SET_MODE_USB, 0, 0, ""); }
    // A file sent and confirmed, with its percentages.
    void GoodFile(const char* name, bool image, bool application) {
        Note(-2, 1, name);
        for (int p : {12, 25, 37, 50, 62, 75, 87, 100}) {
            Note(p, 0, name);
        }
        Note(-16, 8, name);
        if (image) {
            Note(101, 0, name);
            Note(-16, 13, name);
            Note(-16, application ? 88 : 8, name);
        }
    }
    std::string Output() {
        std::rewind(out_);
        std::string text;
        char buffer[4096];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, out_)) {
            text.append(buffer, n);
        }
        return text;
    }

    std::FILE* out_;
    UnattendedReport report_;
};

TEST_F(UnattendedReportTest, AWholeUpgradeSucceedsAndIsToldLineByLine) {
    Note(-16, 14, "");
    Connected();
    GoodFile("language.dat", false, false);
    GoodFile("tpro.boot", true, false);
    GoodFile("tpro_app.bin", true, true);
    EXPECT_EQ(report_.ExitStatus(true), 0);
    EXPECT_EQ(report_.Why(true), "");
    const std::string out = Output();
    EXPECT_NE(out.find("Status: Detecting USB device. Please wait...\n"), std::string::npos);
    EXPECT_NE(out.find("Status: USB device connected\n"), std::string::npos);
    EXPECT_NE(out.find("Status: tpro.boot: Flashing File. Please wait...\n"), std::string::npos);
    EXPECT_NE(out.find("Status: Upgrade completed successfully\n"), std::string::npos);
    // Progress in steps of ten percent: 12 and 100 are shown, 37 after 25 too.
    EXPECT_NE(out.find(" tpro.boot 12% complete\n"), std::string::npos);
    EXPECT_NE(out.find(" tpro.boot 100% complete\n"), std::string::npos);
}

TEST_F(UnattendedReportTest, FailuresOfEveryKindFailTheRun) {
    {
        // A data answer other than 4 and 8, with its message box.
        UnattendedReport r(out_);
        r.OnNotification(WM_SET_MODE_USB, 0, 0, "");
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-2), 1, "a.dat");
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-16), 10, "a.dat");
        r.Show("CRC fail\n");
        EXPECT_EQ(r.ExitStatus(false), 1);
        EXPECT_EQ(r.Why(false), "a.dat failed");
    }
    {
        // A refused header: the file starts and ends unconfirmed.
        UnattendedReport r(out_);
        r.OnNotification(WM_SET_MODE_USB, 0, 0, "");
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-2), 1, "a.dat");
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-1), 0, "a.dat");
        EXPECT_EQ(r.ExitStatus(false), 1);
        EXPECT_EQ(r.Why(false), "a.dat failed");
    }
    {
        // The flash result never came.
        UnattendedReport r(out_);
        r.OnNotification(WM_SET_MODE_USB, 0, 0, "");
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-2), 1, "app.bin");
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-16), 8, "app.bin");
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-16), 13, "app.bin");
        EXPECT_EQ(r.ExitStatus(true), 1);
        EXPECT_EQ(r.Why(true), "app.bin was not confirmed by the instrument");
    }
    {
        // Detection gave up.
        UnattendedReport r(out_);
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-16), 14, "");
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-16), 15, "");
        EXPECT_TRUE(r.DetectionGaveUp());
        EXPECT_EQ(r.ExitStatus(false), 1);
        EXPECT_EQ(r.Why(false), "instrument not found");
    }
    {
        // Connected, but nothing was sent.
        UnattendedReport r(out_);
        r.OnNotification(WM_SET_MODE_USB, 0, 0, "");
        EXPECT_EQ(r.ExitStatus(false), 1);
        EXPECT_EQ(r.Why(false), "no file sent");
    }
    {
        // A reason no notification carries wins, the first one given.
        UnattendedReport r(out_);
        r.OnNotification(WM_SET_MODE_USB, 0, 0, "");
        r.Fail("nothing heard from the instrument for too long");
        r.Fail("later");
        EXPECT_EQ(r.ExitStatus(false), 1);
        EXPECT_EQ(r.Why(false), "nothing heard from the instrument for too long");
    }
}

TEST_F(UnattendedReportTest, AnEmptyFileIsConfirmedBeforeItsEnd) {
    Connected();
    Note(-2, 0, "empty.dat");
    Note(-16, 8, "empty.dat");
    Note(-1, 0, "empty.dat");
    EXPECT_EQ(report_.ExitStatus(false), 0);
    // Without an application image in the package, 88 is not needed; with one it is.
    EXPECT_EQ(report_.ExitStatus(true), 1);
}

}  // namespace
