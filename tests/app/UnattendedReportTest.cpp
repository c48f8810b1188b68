#include "app/UnattendedReport.h"

#include <gtest/gtest.h>

#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QString>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "engine/Notifications.h"
#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "tests/support/TestDeadline.h"

namespace {

using kestrup::ProgressWParam;
using kestrup::WM_SET_MODE_USB;
using kestrup::WM_UPGRADE_PROGRESS;

// The 30-second waits of the flash-wait reports begun so far.
int FlashReportWaits(const std::vector<platform::TimeFacility::Record>& records) {
    int n = 0;
    for (const auto& record : records) {
        n += record.what == "flash report" && record.timeoutMs == 30000 ? 1 : 0;
    }
    return n;
}

// Waits until the flash reports' thread has begun its n-th wait.
bool AwaitFlashReportWaits(const platform::TimeFacility::ScopedLog& log, int n) {
    return log.WaitFor([n](const auto& records) { return FlashReportWaits(records) >= n; },
                       testsupport::DeadlineMs());
}

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
    EXPECT_EQ(report_.FailureReason(true), "");
    const std::string out = Output();
    EXPECT_NE(out.find("Status: Detecting USB device. Please wait...\n"), std::string::npos);
    EXPECT_NE(out.find("Status: USB device connected\n"), std::string::npos);
    EXPECT_NE(out.find("Status: tpro.boot: Flashing File. Please wait...\n"), std::string::npos);
    EXPECT_NE(out.find("Status: Upgrade completed successfully\n"), std::string::npos);
    // Progress in steps of ten percent: 12 and 100 are shown, 37 after 25 too.
    EXPECT_NE(out.find("\nProgress: tpro.boot 12% complete\n"), std::string::npos);
    EXPECT_NE(out.find("\nProgress: tpro.boot 100% complete\n"), std::string::npos);
    EXPECT_EQ(report_.FailureReason(true), "");
    ASSERT_EQ(report_.Files().size(), 3u);
    EXPECT_EQ(report_.Files()[2].name, "tpro_app.bin");
    EXPECT_EQ(report_.Files()[2].result, "sent");
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
        EXPECT_EQ(r.FailureReason(false), "a.dat: CRC Failed");
        EXPECT_EQ(r.Files().at(0).result, "failed");
    }
    {
        // A refused header: the file starts and ends unconfirmed.
        UnattendedReport r(out_);
        r.OnNotification(WM_SET_MODE_USB, 0, 0, "");
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-2), 1, "a.dat");
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-1), 0, "a.dat");
        EXPECT_EQ(r.ExitStatus(false), 1);
        EXPECT_EQ(r.FailureReason(false), "a.dat: refused by the instrument");
    }
    {
        // The flash result never came.
        UnattendedReport r(out_);
        r.OnNotification(WM_SET_MODE_USB, 0, 0, "");
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-2), 1, "app.bin");
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-16), 8, "app.bin");
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-16), 13, "app.bin");
        EXPECT_EQ(r.ExitStatus(true), 1);
        EXPECT_EQ(r.FailureReason(true), "app.bin: no answer from the instrument");
    }
    {
        // Detection gave up.
        UnattendedReport r(out_);
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-16), 14, "");
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-16), 15, "");
        EXPECT_TRUE(r.DetectionGaveUp());
        EXPECT_EQ(r.ExitStatus(false), 1);
        EXPECT_EQ(r.FailureReason(false), "instrument not found");
    }
    {
        // Connected, but nothing was sent.
        UnattendedReport r(out_);
        r.OnNotification(WM_SET_MODE_USB, 0, 0, "");
        EXPECT_EQ(r.ExitStatus(false), 1);
        EXPECT_EQ(r.FailureReason(false), "no file sent");
        // Forgotten for the next run in the same session.
        r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(-2), 1, "a.dat");
        r.Reset();
        EXPECT_TRUE(r.Files().empty());
        EXPECT_EQ(r.FailureReason(false), "instrument not found");
    }
    {
        // A reason no notification carries wins, the first one given.
        UnattendedReport r(out_);
        r.OnNotification(WM_SET_MODE_USB, 0, 0, "");
        r.Fail("nothing heard from the instrument for too long");
        r.Fail("later");
        EXPECT_EQ(r.ExitStatus(false), 1);
        EXPECT_EQ(r.FailureReason(false), "nothing heard from the instrument for too long");
        r.Reset();
        EXPECT_EQ(r.FailureReason(false), "instrument not found");
    }
    // The last line of a failed run says why.
    report_.Result(1, "c.bin: CRC Failed");
    EXPECT_NE(Output().find("Result: upgrade failed: c.bin: CRC Failed\n"), std::string::npos);
}

TEST_F(UnattendedReportTest, AnEmptyFileIsConfirmedBeforeItsEnd) {
    Connected();
    Note(-2, 0, "empty.dat");
    Note(-16, 8, "empty.dat");
    Note(-1, 0, "empty.dat");
    EXPECT_EQ(report_.ExitStatus(false), 0);
    // Without an application image in the package, 88 is not needed; with one it is.
    EXPECT_EQ(report_.ExitStatus(true), 1);

    // Empty images: the -1 ends each file before its flash wait, and the
    // flash result still decides.
    for (const auto& [name, done] : {std::pair{"empty.boot", 8}, std::pair{"empty.bin", 88}}) {
        for (const auto& [w, l] :
             {std::pair{-2, 0}, {-16, 8}, {-1, 0}, {0, 0}, {-16, 13}, {-16, done}}) {
            Note(w, l, name);
        }
    }
    EXPECT_EQ(report_.ExitStatus(true), 0) << report_.FailureReason(true);
    Note(-2, 0, "later.bin");
    for (const auto& [w, l] : {std::pair{-16, 8}, {-1, 0}, {0, 0}, {-16, 13}, {-16, 12}}) {
        Note(w, l, "later.bin");
    }
    EXPECT_EQ(report_.FailureReason(true), "later.bin: Flash Write Failed");
}

TEST_F(UnattendedReportTest, AFlashWaitIsToldEveryThirtySecondsUntilItEnds) {
    platform::TimeFacility::ScopedScale fast(1);
    platform::TimeFacility::ScopedLog log;
    const std::size_t running = platform::Thread::Running();
    Connected();
    Note(-2, 1, "tpro_app.bin");
    Note(-16, 8, "tpro_app.bin");
    Note(-16, 13, "tpro_app.bin");
    // The third wait begins once two intervals have been told.
    ASSERT_TRUE(AwaitFlashReportWaits(log, 3));
    Note(-16, 88, "");
    // The result ended the reports: their thread has ended.
    EXPECT_EQ(platform::Thread::Running(), running);
    const std::string out = Output();
    const std::string prefix = "Flashing: tpro_app.bin: the instrument has been writing its flash";
    EXPECT_NE(out.find(prefix + " for 30 s of at most 1200 s\n"), std::string::npos) << out;
    EXPECT_NE(out.find(prefix + " for 60 s of at most 1200 s\n"), std::string::npos) << out;
    EXPECT_LT(out.find("for 60 s"), out.find("Status: Upgrade completed successfully"));
}

// Every line of a JSON run is one object with the documented keys and types
// of its event (docs/json-report.md), and every documented event occurs.
TEST_F(UnattendedReportTest, JsonLinesFollowTheDocumentedSchema) {
    std::FILE* json = std::tmpfile();
    {
        platform::TimeFacility::ScopedScale fast(1);
        platform::TimeFacility::ScopedLog log;
        UnattendedReport r(json, UnattendedReport::Format::Json);
        auto note = [&](std::int32_t w, std::int64_t l, const char* file) {
            r.OnNotification(WM_UPGRADE_PROGRESS, ProgressWParam(w),
                             static_cast<platform::LPARAM>(l), file);
        };
        r.Package("TPro \"English\".pcg");
        note(-16, 14, "");
        r.OnNotification(WM_SET_MODE_USB, 0, 0, "");
        note(-2, 1, "a.dat");
        note(50, 0, "a.dat");
        note(-1, 0, "a.dat");
        note(-2, 1, "b.bin");
        note(-16, 13, "b.bin");
        ASSERT_TRUE(AwaitFlashReportWaits(log, 2));
        note(-16, 10, "b.bin");
        r.Show("CRC fail\n");
        r.Result(1, r.FailureReason(true));
    }
    enum Type { String, Integer, Bool };
    const std::map<std::string, std::map<std::string, Type>> schema = {
        {"package", {{"file", String}}},
        {"status", {{"code", Integer}, {"text", String}, {"file", String}}},
        {"connected", {}},
        {"file", {{"file", String}}},
        {"progress", {{"file", String}, {"percent", Integer}}},
        {"refused", {{"file", String}}},
        {"flashing", {{"file", String}, {"elapsed_s", Integer}, {"limit_s", Integer}}},
        {"message", {{"text", String}}},
        {"result", {{"exit_status", Integer}, {"succeeded", Bool}, {"reason", String}}},
    };
    std::rewind(json);
    std::string text;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, json)) {
        text.append(buffer, n);
    }
    std::fclose(json);
    std::istringstream lines(text);
    std::set<std::string> seen;
    QJsonObject last;
    for (std::string line; std::getline(lines, line);) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        ASSERT_TRUE(doc.isObject()) << line;
        const QJsonObject o = doc.object();
        const std::string kind = o["event"].toString().toStdString();
        ASSERT_EQ(schema.count(kind), 1u) << line;
        seen.insert(kind);
        EXPECT_TRUE(o["time"].isString()) << line;
        EXPECT_EQ(o.size(), static_cast<qsizetype>(schema.at(kind).size() + 2)) << line;
        for (const auto& [key, type] : schema.at(kind)) {
            const QJsonValue v = o[QString::fromStdString(key)];
            const bool ok = type == String ? v.isString()
                            : type == Bool ? v.isBool()
                                           : v.isDouble() && v.toDouble() == v.toInt();
            EXPECT_TRUE(ok) << key << " in " << line;
        }
        last = o;
    }
    EXPECT_EQ(seen.size(), schema.size());
    EXPECT_EQ(last["event"].toString(), "result");
    EXPECT_EQ(last["exit_status"].toInt(), 1);
    EXPECT_EQ(last["reason"].toString(), "a.dat: refused by the instrument");
    EXPECT_NE(text.find(R"("file":"TPro \"English\".pcg")"), std::string::npos);
}

}  // namespace
