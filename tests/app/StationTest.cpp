// The station: runs bound to one instrument each, side by side, and what
// --station-status makes of their history and progress.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/RunLock.h"
#include "app/StationConfig.h"
#include "app/StationProgress.h"
#include "app/StationStatus.h"
#include "engine/Notifications.h"
#include "platform/FileSystem.h"
#include "tests/support/ArchiveWriter.h"
#include "tests/support/PackageSandbox.h"

extern char** environ;

namespace {

std::vector<QJsonObject> Records(const std::string& path) {
    std::string text;
    platform::FileSystem::ReadAll(path, text, 1 << 24);
    std::vector<QJsonObject> records;
    for (const QByteArray& line : QByteArray::fromStdString(text).split('\n')) {
        const QJsonDocument record = QJsonDocument::fromJson(line);
        // The attempts' end lines; each attempt's begun line is left out.
        if (record.isObject() && record["result"].toString() != "begun") {
            records.push_back(record.object());
        }
    }
    return records;
}

// Eight instruments on one machine, each upgraded by a run bound to it,
// all started together: every run succeeds, every instrument holds exactly
// the files of its own package (each package's names are its own, so a file
// that reached the wrong instrument shows), every history line names its
// instrument, and nothing of the runs stays in the temporary directory.
TEST(StationTest, EightBoundRunsStartedTogetherEachUpgradeTheirOwnInstrument) {
    constexpr int kRuns = 8;
    testsupport::PackageSandbox sandbox;
    const std::string state = sandbox.Root() + "state";
    std::vector<std::string> scenarios;
    for (int k = 1; k <= kRuns; ++k) {
        const std::string n = std::to_string(k);
        testsupport::ArchiveWriter zip(sandbox.PackageDir() + "TPro_" + n + ".pcg");
        zip.File("package.inf", "[PACKAGE]\r\nDescription=Talvenmark Pro software\r\n")
            .File("d" + n + ".dat", std::string(20000 + k * 100, static_cast<char>('a' + k)))
            .File("b" + n + ".boot", std::string(9000, static_cast<char>('A' + k)))
            .File("c" + n + ".bin", std::string(30000 - k * 10, static_cast<char>('k' + k)));
        ASSERT_TRUE(zip.Close());
        scenarios.push_back(sandbox.Root() + "scenario" + n);
        ASSERT_TRUE(platform::FileSystem::WriteAll(
            scenarios.back(), "serial SIM-" + n + "\nflash-dir " + sandbox.Root() + "flash" + n));
    }
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    // Every run sees all eight instruments, as on a hub, and binds to one:
    // by serial number for the odd ones, by port path for the even ones.
    std::vector<pid_t> children;
    for (int k = 1; k <= kRuns; ++k) {
        const std::string n = std::to_string(k);
        std::vector<std::string> args{KESTRUP_STATION_CHILD, "200", sandbox.Executable()};
        for (const std::string& scenario : scenarios) {
            args.insert(args.end(), {"--scenario", scenario});
        }
        args.insert(args.end(), {"--instrument", k % 2 == 1 ? "SIM-" + n : "1-" + n, "--upgrade",
                                 "TPro_" + n + ".pcg"});
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = sandbox.Root() + "out" + n;
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        children.push_back(pid);
    }
    ::unsetenv("XDG_STATE_HOME");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(4);
    for (int k = 1; k <= kRuns; ++k) {
        int status = -1;
        while (::waitpid(children[k - 1], &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                for (const pid_t child : children) {
                    ::kill(child, SIGKILL);
                }
                FAIL() << "run " << k << " did not end within four minutes";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "run " << k << ":\n"
            << testsupport::PackageSandbox::Read(sandbox.Root() + "out" + std::to_string(k));
    }
    for (int k = 1; k <= kRuns; ++k) {
        const std::string n = std::to_string(k);
        const std::string flash = sandbox.Root() + "flash" + n + "/";
        EXPECT_EQ(testsupport::PackageSandbox::Names(flash),
                  "b" + n + ".boot c" + n + ".bin d" + n + ".dat")
            << "instrument " << k;
        // None of these sizes is padded, so the instrument holds the bytes.
        EXPECT_EQ(testsupport::PackageSandbox::Read(flash + "d" + n + ".dat"),
                  std::string(20000 + k * 100, static_cast<char>('a' + k)));
        EXPECT_EQ(testsupport::PackageSandbox::Read(flash + "b" + n + ".boot"),
                  std::string(9000, static_cast<char>('A' + k)));
        EXPECT_EQ(testsupport::PackageSandbox::Read(flash + "c" + n + ".bin"),
                  std::string(30000 - k * 10, static_cast<char>('k' + k)));
    }
    const std::vector<QJsonObject> records = Records(state + "/kestrup/history.jsonl");
    ASSERT_EQ(records.size(), static_cast<std::size_t>(kRuns));
    std::vector<std::string> named;
    for (const QJsonObject& record : records) {
        const std::string serial = record["serial"].toString().toStdString();
        const std::string n = serial.substr(serial.find('-') + 1);
        EXPECT_EQ(record["result"].toString(), "succeeded") << serial;
        EXPECT_EQ(record["package"].toString().toStdString(), "TPro_" + n + ".pcg");
        EXPECT_EQ(record["port"].toString().toStdString(), "1-" + n);
        EXPECT_EQ(record["bound"].toString().toStdString(),
                  std::stoi(n) % 2 == 1 ? serial : "1-" + n);
        named.push_back(serial);
    }
    std::sort(named.begin(), named.end());
    EXPECT_EQ(std::unique(named.begin(), named.end()), named.end());
    // Each run took its own directory away with it; no progress is left.
    EXPECT_EQ(testsupport::PackageSandbox::Names(sandbox.TempDir()), "");
    EXPECT_EQ(testsupport::PackageSandbox::Names(state + "/kestrup/station/"), "");
    const auto status = StationStatus::Read(state + "/kestrup/history.jsonl");
    ASSERT_EQ(status.size(), static_cast<std::size_t>(kRuns));
    for (const auto& instrument : status) {
        EXPECT_EQ(instrument.state, "succeeded") << instrument.id;
    }
}

// The locks of the whole program and of bound runs: which go together, which
// keep each other out, and how the one kept out is told what runs.
TEST(StationTest, BoundRunsGoTogetherButNotWithTheWholeProgramOrTheSameInstrument) {
    testsupport::PackageSandbox sandbox;
    const std::string base = sandbox.TempDir();
    std::filesystem::create_directories(base);
    const std::string a = base + "instrument-1-1/", b = base + "instrument-SIM-2/";
    RunLock first, second, same, whole;
    ASSERT_EQ(first.Take(base, a, "an upgrade bound to 1-1"), RunLock::Result::Taken);
    ASSERT_EQ(second.Take(base, b, "an upgrade bound to SIM-2"), RunLock::Result::Taken);
    EXPECT_EQ(same.Take(base, a, "another"), RunLock::Result::Held);
    const std::string me = " (process " + std::to_string(::getpid()) + ")";
    EXPECT_EQ(same.Holders(), "an upgrade bound to 1-1" + me);
    EXPECT_EQ(whole.Take(base, "", "the window"), RunLock::Result::Held);
    EXPECT_EQ(whole.Holders(), "an upgrade bound to 1-1" + me + "; an upgrade bound to SIM-2" + me);
    // A bound run's directory goes with it, whatever it staged.
    ASSERT_TRUE(testsupport::PackageSandbox::Write(a + "test/c.bin", "staged"));
    first.Release();
    second.Release();
    EXPECT_EQ(testsupport::PackageSandbox::Names(base), "");
    // The whole program keeps bound runs out, and says what it is; a note
    // that someone left with control characters in it is shown escaped.
    ASSERT_EQ(whole.Take(base, "", "the window\x1b]0;owned\a"), RunLock::Result::Taken);
    EXPECT_EQ(first.Take(base, a, "bound"), RunLock::Result::Held);
    EXPECT_EQ(first.Holders(), "the window\\x1B]0;owned\\x07" + me);
    EXPECT_FALSE(std::filesystem::exists(a));
    whole.Release();
    // A note whose process has gone names nothing.
    ASSERT_TRUE(platform::FileSystem::WriteAll(base + "running", "999999999 the window\n"));
    ASSERT_EQ(whole.Take(base, "", "x"), RunLock::Result::Taken);
    ASSERT_TRUE(platform::FileSystem::WriteAll(base + "running", "999999999 the window\n"));
    EXPECT_EQ(first.Take(base, a, "bound"), RunLock::Result::Held);
    EXPECT_EQ(first.Holders(), "another copy of the program");
}

TEST(StationTest, StationConfigurationNamesThePackageAndPerhapsASerialPattern) {
    StationConfig config;
    std::string error;
    ASSERT_TRUE(StationConfig::Parse(
        "# station A\n  package = TPro_English_7.0.5.pcg \r\n\nserial=TP-[0-9]*\n", config, error))
        << error;
    EXPECT_EQ(config.package, "TPro_English_7.0.5.pcg");
    EXPECT_EQ(config.serialPattern, "TP-[0-9]*");
    ASSERT_TRUE(StationConfig::Parse("package=a.pcg\n", config, error));
    EXPECT_EQ(config.serialPattern, "");
    const std::pair<const char*, const char*> refused[] = {
        {"serial = *\n", "no 'package"},
        {"package = ../etc/a.pcg\n", "not a path"},
        {"package a.pcg\n", "line 1: expected"},
        {"package = a.pcg\ncolour = red\n", "line 2: unknown key"},
        {"package = \n", "1 to 255"},
        {"package = a\x1b.pcg\n", "printable"},
    };
    for (const auto& [text, why] : refused) {
        EXPECT_FALSE(StationConfig::Parse(text, config, error)) << text;
        EXPECT_NE(error.find(why), std::string::npos) << text << ": " << error;
    }
    EXPECT_FALSE(StationConfig::Load("/nonexistent/station.conf", config, error));
    EXPECT_NE(error.find("/nonexistent/station.conf"), std::string::npos);
}

// What --station-status makes of the history and the progress files: a run
// that goes on, one that waits, one a crash ended, and finished ones, with
// outside text escaped.
TEST(StationTest, StatusJoinsTheHistoryAndTheProgressOfRunsThatGoOn) {
    testsupport::PackageSandbox sandbox;
    const std::string history = sandbox.Root() + "kestrup/history.jsonl";
    const std::string station = StationProgress::DirectoryFor(history);
    auto record = [](const std::string& bound, const std::string& serial, const std::string& result,
                     const std::string& reason, const std::string& start) {
        return "{\"bound\":\"" + bound + "\",\"serial\":\"" + serial +
               "\",\"port\":\"1-9\",\"package\":\"P.pcg\",\"result\":\"" + result +
               "\",\"reason\":\"" + reason + "\",\"start\":\"" + start +
               "\",\"end\":\"2026-01-01T00:10:00Z\"}\n";
    };
    ASSERT_TRUE(testsupport::PackageSandbox::Write(
        history,
        record("A", "SA", "failed", "c.bin: CRC Failed", "2026-01-01T00:00:00Z") +
            record("A", "SA", "succeeded", "", "2026-01-01T00:05:00Z") +  // the newer word
            record("", "SX", "succeeded", "", "2026-01-01T00:05:00Z") +   // unbound: no station's
            "{\"torn\n" +
            record("B", "S\\u001b[2J", "failed", "instrument not found", "2026-01-01T00:01:00Z") +
            record("C", "SC", "succeeded", "", "2026-01-01T00:01:00Z")));
    // A run on C goes on (this process), one on D waits, one on E was cut
    // short by a crash, and an old one on B that a newer attempt outlived.
    StationProgress running(station, "C", "C", "P.pcg");
    running.Begin();
    running.Connected("SC", "1-3");
    running.OnNotification(kestrup::WM_UPGRADE_PROGRESS,
                           kestrup::ProgressWParam(kestrup::PROGRESS_START), 0, "c.bin");
    running.OnNotification(kestrup::WM_UPGRADE_PROGRESS, kestrup::ProgressWParam(47), 0, "c.bin");
    StationProgress waiting(station, "D", "D", "P.pcg");
    waiting.Begin();
    const std::string boot = StationProgress::BootId();
    ASSERT_TRUE(testsupport::PackageSandbox::Write(
        station + "E.json",
        "{\"id\":\"E\",\"serial\":\"SE\",\"state\":\"sending\",\"pid\":999999999,"
        "\"boot\":\"" +
            boot + "\",\"start\":\"2026-01-01T00:00:00Z\"}"));
    ASSERT_TRUE(testsupport::PackageSandbox::Write(
        station + "B.json", "{\"id\":\"B\",\"state\":\"sending\",\"pid\":999999999,\"boot\":\"" +
                                boot + "\",\"start\":\"2026-01-01T00:00:30Z\"}"));

    std::vector<std::string> lines;
    for (const auto& instrument : StationStatus::Read(history)) {
        lines.push_back(StationStatus::TextLine(instrument));
    }
    // Each run's start as it recorded it (the two may fall in different
    // seconds).
    const std::string now = running.Start();
    const std::string waitingSince = waiting.Start();
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "A\tSA\tsucceeded P.pcg\t2026-01-01T00:05:00Z\t2026-01-01T00:10:00Z",
                  "B\tS\\x1B[2J\tfailed P.pcg: instrument not found\t2026-01-01T00:01:00Z\t"
                  "2026-01-01T00:10:00Z",
                  "C\tSC\tupgrading P.pcg: c.bin 47%\t" + now + "\t-",
                  "D\t-\twaiting for the instrument (P.pcg)\t" + waitingSince + "\t-",
                  "E\tSE\tinterrupted: the run ended without a result\t2026-01-01T00:00:00Z\t-"}));
    const QJsonObject c =
        QJsonDocument::fromJson(
            QByteArray::fromStdString(StationStatus::JsonLine(StationStatus::Read(history)[2])))
            .object();
    EXPECT_EQ(c["state"].toString(), "upgrading");
    EXPECT_EQ(c["percent"].toInt(), 47);
    EXPECT_EQ(c["port"].toString(), "1-3");
    // Once a run's attempt is in the history its progress goes.
    running.End();
    EXPECT_FALSE(std::filesystem::exists(station + "C.json"));
}

}  // namespace
