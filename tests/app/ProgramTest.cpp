// The program as a whole, in process and with the time facility scaled: the
// unattended mode's exit statuses, the whole road of an upgrade from the
// command to "Upgrade completed successfully", and the rules that keep
// upgrades from overlapping and closing from cutting one short.
#include "app/Program.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QTreeWidget>

#include <poll.h>
#include <spawn.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include "app/CommandLine.h"
#include "app/RunLock.h"
#include "app/SimulationSession.h"
#include "app/UpgradeHistory.h"
#include "engine/DeviceDetection.h"
#include "engine/EngineShutdown.h"
#include "engine/MessageBoxService.h"
#include "engine/Notifications.h"
#include "engine/Protocol.h"
#include "engine/UpgradeWorker.h"
#include "package/MinisignPublicKey.h"
#include "package/PackageGlobals.h"
#include "platform/FileSystem.h"
#include "platform/InstanceLock.h"
#include "platform/PrivateTempDir.h"
#include "platform/TextEscape.h"
#include "platform/TimeFacility.h"
#include "platform/WindowMessages.h"
#include "platform/usbio/SimulatedDevice.h"
#include "platform/usbio/UsbioDriver.h"
#include "res/Resource.h"
#include "shell/CKestrupApp.h"
#include "shell/CKestrupDocTemplate.h"
#include "shell/CMainFrame.h"
#include "shell/CUpgradeView.h"
#include "shell/UpgradeWiring.h"
#include "tests/platform/ui/QtTestEnvironment.h"
#include "tests/support/ArchiveWriter.h"
#include "tests/support/CloseBound.h"
#include "tests/support/MinisignTool.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/PackageSandbox.h"
#include "tests/support/TestDeadline.h"

namespace {

// An environment variable set for a while.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            saved_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (saved_) {
            ::setenv(name_, saved_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> saved_;
};

class ProgramTest : public ::testing::Test {
  protected:
    // microsPerMs: how long a program millisecond lasts (TimeFacility).
    explicit ProgramTest(std::uint32_t microsPerMs = 1) : fast_(microsPerMs) {
        kestrup::g_bConnected.store(0);
        g_szPackageDir[0] = g_szStagingDir[0] = g_szPackagePath[0] = '\0';
        testsupport::ArchiveWriter zip(sandbox.PackageDir() + "TPro_English.pcg");
        zip.File("package.inf",
                 "[PACKAGE]\r\nDescription=Talvenmark Pro software\r\nlanguage=English\r\n");
        zip.File("a.dat", std::string(20000, 'a'))
            .File("b.boot", std::string(9000, 'b'))
            .File("c.bin", std::string(30000, 'c'));
        EXPECT_TRUE(zip.Close());
    }
    ~ProgramTest() override {
        kestrup::g_bConnected.store(0);
        if (out_ != nullptr) {
            std::fclose(out_);
        }
    }

    // Runs the program; returns its exit status and keeps what it printed
    // (the report goes to `report` instead when one is given).
    int Run(const QStringList& arguments, std::FILE* report = nullptr) {
        if (out_ != nullptr) {
            std::fclose(out_);
        }
        out_ = std::tmpfile();
        Program::Settings settings;
        settings.executablePath = sandbox.Executable();
        settings.out = report != nullptr ? report : out_;
        settings.err = out_;
        settings.stopWorkerAtEnd = true;
        settings.historyPath = historyPath;
        settings.stationConfigPath = stationConfigPath;
        return Program::Run(QStringList{"kestrup"} + arguments, settings);
    }
    std::string Output() const {
        std::rewind(out_);
        std::string text;
        char buffer[4096];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, out_)) {
            text.append(buffer, n);
        }
        return text;
    }
    QString Scenario(const std::string& text) {
        const std::string path = sandbox.Root() + "scenario.txt";
        EXPECT_TRUE(platform::FileSystem::WriteAll(path, text));
        return QString::fromStdString(path);
    }

    // The last line printed.
    std::string LastLine() const {
        std::string text = Output();
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        return text.substr(text.rfind('\n') + 1);
    }
    // The history's lines, oldest first: with ends only the attempts' end
    // lines, otherwise their begun lines too.
    std::vector<QJsonObject> History(bool ends = true, std::string path = {}) const {
        std::string text;
        platform::FileSystem::ReadAll(path.empty() ? historyPath : path, text);
        std::vector<QJsonObject> records;
        for (const QByteArray& line : QByteArray::fromStdString(text).split('\n')) {
            const QJsonDocument record = QJsonDocument::fromJson(line);
            if (record.isObject() && (!ends || record["result"].toString() != "begun")) {
                records.push_back(record.object());
            }
        }
        return records;
    }
    // Adds a package of the given file name, language and members.
    void AddPackage(const std::string& file, const std::string& descriptorLines,
                    const std::vector<std::pair<std::string, std::string>>& members) {
        testsupport::ArchiveWriter zip(sandbox.PackageDir() + file);
        zip.File("package.inf",
                 "[PACKAGE]\r\nDescription=Talvenmark Pro software\r\n" + descriptorLines);
        for (const auto& [name, contents] : members) {
            zip.File(name, contents);
        }
        ASSERT_TRUE(zip.Close());
    }
    // Polls `ready` on the UI thread from within the program's event loop,
    // then runs `act` once. The poll lives as long as the returned timer.
    static std::unique_ptr<QTimer> WhenReady(std::function<bool()> ready,
                                             std::function<void()> act) {
        auto poll = std::make_unique<QTimer>();
        QTimer* timer = poll.get();
        QObject::connect(timer, &QTimer::timeout, [timer, ready, act] {
            if (ready()) {
                timer->stop();
                act();
            }
        });
        timer->start(1);
        return poll;
    }

    // Replaces the English package by one whose descriptor is sound (so it
    // is listed) but whose application image cannot be staged whole.
    enum class Damage {
        None,
        Checksum,
        Method,
        RefusedMember,
        OverlongName,
        OverSize,
        SizeLie,
        DiskFull,
        TwoApplicationImages,
        TwoBootImages
    };
    void WriteDamaged(Damage damage) {
        const std::string path = sandbox.PackageDir() + "TPro_English.pcg";
        {
            testsupport::ArchiveWriter zip(path, testsupport::ArchiveWriter::Compression::Store);
            zip.File("package.inf",
                     "[PACKAGE]\r\nDescription=Talvenmark Pro software\r\nlanguage=English\r\n")
                .File("b.boot", std::string(9000, 'b'));
            if (damage == Damage::RefusedMember) {
                zip.Symlink("c.bin", "/etc/passwd");
            } else if (damage == Damage::OverlongName) {
                zip.File(std::string(300, 'n') + ".bin", "image");
            } else if (damage == Damage::TwoApplicationImages) {
                zip.File("c.bin", "image").File("d.bin", "another image");
            } else if (damage == Damage::TwoBootImages) {
                zip.File("c.bin", "image").File("z.boot", "another boot image");
            } else {
                zip.File("c.bin", std::string(30000, 'c'));
            }
            ASSERT_TRUE(zip.Close());
        }
        std::string bytes = sandbox.Read(path);
        const std::size_t local = bytes.rfind("PK\x03\x04");
        const std::size_t central = bytes.rfind("PK\x01\x02");
        ASSERT_NE(central, std::string::npos);
        auto put32 = [&bytes](std::size_t at, std::uint32_t value) {
            for (int i = 0; i < 4; ++i) {
                bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
            }
        };
        switch (damage) {
            case Damage::Checksum:
                bytes[bytes.find(std::string(100, 'c')) + 50] = 'C';
                break;
            case Damage::Method:  // LZMA, which no package needs
                bytes[local + 8] = 14;
                bytes[central + 10] = 14;
                break;
            case Damage::OverSize:  // a size only the 64-bit extension announces
                put32(local + 22, 0xFFFFFFFFu);
                put32(central + 24, 0xFFFFFFFFu);
                break;
            case Damage::SizeLie:
                put32(local + 22, 1000);
                put32(central + 24, 1000);
                break;
            default:
                break;
        }
        ASSERT_TRUE(testsupport::PackageSandbox::Write(path, bytes));
    }

    platform::TimeFacility::ScopedScale fast_;
    testsupport::PackageSandbox sandbox;
    std::string historyPath = sandbox.Root() + "state/kestrup/history.jsonl";
    std::string stationConfigPath = sandbox.Root() + "no-station.conf";
    std::FILE* out_ = nullptr;
};

TEST_F(ProgramTest, UnattendedUpgradeGoesTheWholeRoadAndSucceeds) {
    ASSERT_EQ(Run({"--simulate", "--upgrade", "TPro_English.pcg"}), 0) << Output();
    const std::string out = Output();
    const char* road[] = {"Package: TPro_English.pcg",
                          "Status: Detecting USB device. Please wait...",
                          "Status: USB device connected",
                          "Sending a.dat",
                          "Status: a.dat: File Transfer OK",
                          "Sending b.boot",
                          "Status: b.boot: Flashing File. Please wait...",
                          "Sending c.bin",
                          "Status: c.bin: Flashing File. Please wait...",
                          "Status: Upgrade completed successfully",
                          "Result: upgrade succeeded"};
    std::size_t at = 0;
    for (const char* step : road) {
        const std::size_t found = out.find(step, at);
        ASSERT_NE(found, std::string::npos) << step << "\n" << out;
        at = found;
    }
}

TEST_F(ProgramTest, UnattendedFailuresExitWithOneAndSayWhy) {
    struct Row {
        const char* scenario;  // null: the simulated instrument, and no thread can be started
        std::string shown;
        std::string result;  // the last line
    };
    const Row rows[] = {
        {"answer c.bin 2 10\n", "Message: CRC fail", "c.bin: CRC Failed"},
        // After a failed file the application image's flash is its own
        // success, never the completed upgrade.
        {"answer a.dat 1 10\n",
         "Status: c.bin: Flashing File. Please wait...\nStatus: c.bin: File Transfer OK\n",
         "a.dat: CRC Failed"},
        // No instrument ever appears: detection gives up after its twelve passes.
        {"attach-delay 100000000\n", "Failed to detect the device", "instrument not found"},
        // The instrument never answers the opening request.
        {"start-answer silent\n", "",
         "no file sent: the instrument did not answer the opening request"},
        // The worker is missing, and the run still ends.
        {nullptr, "", "the upgrade worker could not be started"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.result);
        std::optional<platform::Thread::ScopedStartFailure> failure;
        if (row.scenario == nullptr) {
            failure.emplace();
        }
        const QStringList instrument = row.scenario != nullptr
                                           ? QStringList{"--scenario", Scenario(row.scenario)}
                                           : QStringList{"--simulate"};
        EXPECT_EQ(Run(instrument + QStringList{"--upgrade", "TPro_English.pcg"}), 1);
        failure.reset();
        EXPECT_NE(Output().find(row.shown), std::string::npos) << Output();
        EXPECT_EQ(Output().find("Upgrade completed successfully"), std::string::npos) << Output();
        EXPECT_EQ(LastLine(), "Result: upgrade failed: " + row.result);
    }
}

TEST_F(ProgramTest, UnattendedDamagedPackageIsNeverSentAndExitsWithOne) {
    for (const Damage damage :
         {Damage::Checksum, Damage::Method, Damage::RefusedMember, Damage::OverlongName,
          Damage::OverSize, Damage::SizeLie, Damage::DiskFull, Damage::TwoApplicationImages,
          Damage::TwoBootImages}) {
        WriteDamaged(damage);
        // A full disk: no file of more than 16 KiB can be written, so the
        // 30000-byte application image cannot be staged.
        struct rlimit saved {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        if (damage == Damage::DiskFull) {
            struct rlimit full = saved;
            full.rlim_cur = 16 * 1024;
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
        }
        const int status = Run({"--simulate", "--upgrade", "TPro_English.pcg"});
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_EQ(status, 1) << static_cast<int>(damage) << "\n" << Output();
        const std::string out = Output();
        EXPECT_NE(out.find("Status: USB device connected"), std::string::npos) << out;
        // A full disk says so; it is no damage of the package. Two images of
        // a kind are named: a run would send only one of them.
        std::string text = CUpgradeView::DamagedPackageText("TPro_English.pcg");
        std::string reason = "the package is damaged";
        if (damage == Damage::DiskFull) {
            text = CUpgradeView::NoSpaceText("TPro_English.pcg");
            reason = "not enough free space to unpack the package";
        } else if (damage == Damage::TwoApplicationImages) {
            text = CUpgradeView::TwoImagesText(false, "TPro_English.pcg", {"c.bin", "d.bin"});
            reason = "the package holds more than one application image";
        } else if (damage == Damage::TwoBootImages) {
            text = CUpgradeView::TwoImagesText(true, "TPro_English.pcg", {"b.boot", "z.boot"});
            reason = "the package holds more than one boot image";
        }
        EXPECT_NE(out.find("Message: " + text + "\n"), std::string::npos)
            << static_cast<int>(damage) << "\n"
            << out;
        EXPECT_EQ(LastLine(), "Result: upgrade failed: no file sent: " + reason);
        EXPECT_EQ(out.find("Sending"), std::string::npos) << static_cast<int>(damage) << "\n"
                                                          << out;
        EXPECT_EQ(platform::FileSystem::Exists(std::string(g_szStagingDir) + "b.boot"), false);
    }
}

TEST_F(ProgramTest, UnknownPackageOrWrongArgumentsExitWithTwo) {
    EXPECT_EQ(Run({"--simulate", "--upgrade", "Other.pcg"}), 2);
    EXPECT_NE(Output().find("no package named Other.pcg in the list; the list holds "
                            "TPro_English.pcg\n"),
              std::string::npos)
        << Output();
    EXPECT_EQ(Run({"--no-such-option"}), 2);
    EXPECT_EQ(Run({"--scenario", "/nonexistent/scenario", "--upgrade", "TPro_English.pcg"}), 2);
    // A scenario that never ends or never comes is refused, not waited on.
    const std::string fifo = sandbox.Root() + "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const char* scenario : {"/dev/zero", fifo.c_str()}) {
        EXPECT_EQ(Run({"--scenario", scenario, "--upgrade", "TPro_English.pcg"}), 2) << scenario;
    }
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_NE(Output().find("Version 7.0.5"), std::string::npos);
}

TEST_F(ProgramTest, ListsThePackagesAndTheSimulatedInstrument) {
    EXPECT_EQ(Run({"--list"}), 0);
    EXPECT_EQ(Output(), "English\t\t\tTPro_English.pcg\tunsigned\n");
    EXPECT_EQ(Run({"--list-instruments", "--simulate"}), 0);
    EXPECT_EQ(Output(), "simulated\t1-1\t1209:0001\t-\tcan be opened\n");
    ASSERT_TRUE(platform::FileSystem::WriteAll(sandbox.Root() + "a.txt", "serial TP-\x1b[2J\n"));
    ASSERT_TRUE(platform::FileSystem::WriteAll(sandbox.Root() + "b.txt", ""));
    EXPECT_EQ(
        Run({"--list-instruments", "--scenario", QString::fromStdString(sandbox.Root() + "a.txt"),
             "--scenario", QString::fromStdString(sandbox.Root() + "b.txt")}),
        0);
    EXPECT_EQ(Output(),
              "simulated\t1-1\t1209:0001\tTP-\\x1B[2J\tcan be opened\n"
              "simulated\t1-2\t1209:0001\t-\tcan be opened\n");
    platform::FileSystem::Delete(sandbox.PackageDir() + "TPro_English.pcg");
    EXPECT_EQ(Run({"--list"}), 0);
    EXPECT_EQ(Output(), "");
}

// Hostile names through every text output: package file names that are no
// UTF-8 or hold control characters, descriptor values with tabs and escape
// sequences, a member name forging a result line, a name too long for the
// path buffer. Whatever the run, the output holds no control character but
// its line ends and column tabs, no line but the program's own says
// "Result:", --list keeps its five columns, and a package is chosen by its
// exact bytes.
TEST_F(ProgramTest, HostileNamesNeverReachAnOutputRaw) {
    AddPackage("fw\xfe.pcg", "language=English\r\n", {{"en.bin", "english image"}});
    AddPackage("fw\xff.pcg", "language=Deutsch\r\n", {{"de.bin", "deutsches Abbild"}});
    const std::string ctl = "ctl\x1b]0;T\x07\t\n.pcg";
    AddPackage(ctl, "language=Eng\tlish\x1b[2J\r\nVersion=7\x7f.0\r\n", {{"c.bin", "image"}});
    AddPackage("forged.pcg", "language=English\r\n",
               {{"app.bin", "image"}, {"z\nResult: upgrade succeeded\n\x1b]0;TITLE\aq.dat", "x"}});
    const std::string tooLong = std::string(240, 'L') + ".pcg";
    AddPackage(tooLong, "language=English\r\n", {{"l.bin", "image"}});
    const QString flashFails = Scenario("flash-result app.bin write-fail\n");

    struct Row {
        QStringList arguments;
        int exit;
        std::vector<std::string> shown;  // lines or parts of lines the output holds
    };
    const Row rows[] = {
        // The German package, not the first one whose decoded name is alike.
        {{"--simulate", "--upgrade", CommandLine::FromBytes("fw\xff.pcg")},
         0,
         {"Package: fw\\xFF.pcg\n", "Sending de.bin\n", "Result: upgrade succeeded\n"}},
        {{"--simulate", "--upgrade", CommandLine::FromBytes("fw\xfd.pcg")},
         2,
         {"kestrup: no package named fw\\xFD.pcg in the list; the list holds ",
          "fw\\xFE.pcg, fw\\xFF.pcg", "left out: " + tooLong + " (its path is too long)"}},
        // The forged member makes the package damaged: nothing is sent.
        {{"--scenario", flashFails, "--upgrade", "forged.pcg"},
         1,
         {"Result: upgrade failed: no file sent: the package is damaged\n"}},
        {{"--simulate", "--upgrade", CommandLine::FromBytes(ctl.c_str())},
         0,
         {"Package: ctl\\x1B]0;T\\x07\\t\\n.pcg\n", "Result: upgrade succeeded\n"}},
        {{"--list"},
         0,
         {"Eng\\tlish\\x1B[2J\t7\\x7F.0\t\tctl\\x1B]0;T\\x07\\t\\n.pcg\tunsigned\n",
          "English\t\t\tfw\\xFE.pcg\tunsigned\n",
          "kestrup: left out of the list: " + tooLong + ": its path is too long\n"}},
        {{"--history"},
         0,
         {"\tsucceeded\tctl\\x1B]0;T\\x07\\t\\n.pcg\tEng\\tlish\\x1B[2J 7\\x7F.0\t1209:0001\n"}},
        {{"--scenario", CommandLine::FromBytes("/nonexistent/\x1b[2J\n")}, 2, {"\\x1B[2J\\n"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments.join(' ').toStdString());
        EXPECT_EQ(Run(row.arguments), row.exit);
        const std::string out = Output();
        for (const std::string& part : row.shown) {
            EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;
        }
        std::size_t results = 0;
        for (std::size_t at = 0; at < out.size();) {
            const std::size_t end = out.find('\n', at);
            const std::string line = out.substr(at, end - at);
            at = end == std::string::npos ? out.size() : end + 1;
            results += line.rfind("Result:", 0) == 0 ? 1 : 0;
            // Tabs only as the columns' separators (counted below).
            for (const char c : line) {
                EXPECT_FALSE((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
                    << line;
            }
            if (row.arguments.first() == "--list" && line.rfind("kestrup:", 0) != 0) {
                EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 4) << line;
            }
        }
        // An unattended run's last line is its one result line.
        if (row.arguments.contains("--upgrade") && row.exit != 2) {
            EXPECT_EQ(results, 1u) << out;
            EXPECT_EQ(LastLine().rfind("Result: upgrade ", 0), 0u) << out;
        }
    }
    const std::vector<QJsonObject> records = History();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0]["language"].toString(), "Deutsch");
}

// Every attempt, successful, failed or cut short by closing the window, is
// one line of the history, and --history reads them back newest first.
TEST_F(ProgramTest, EveryAttemptGoesIntoTheHistory) {
    // A line torn by a crash spoils none of the following ones.
    std::filesystem::create_directories(sandbox.Root() + "state/kestrup");
    ASSERT_TRUE(platform::FileSystem::WriteAll(sandbox.Root() + "state/kestrup/history.jsonl",
                                               "{\"start\":\"torn"));
    ASSERT_EQ(Run({"--simulate", "--upgrade", "TPro_English.pcg"}), 0) << Output();
    ASSERT_EQ(Run({"--scenario", Scenario("answer c.bin 2 10\n"), "--upgrade", "TPro_English.pcg"}),
              1);
    // The window: an upgrade begun while no instrument comes, then the window
    // is closed while the instrument is looked for.
    QTimer::singleShot(0, [] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* frame = dynamic_cast<CMainFrame*>(widget)) {
                auto* list = frame->findChild<QTreeWidget*>();
                list->setCurrentItem(list->topLevelItem(0));
                frame->Router().Route(res::ID_UPGRADE_VIA_USB);
                auto* poll = new QTimer(frame);
                QObject::connect(poll, &QTimer::timeout, frame, [frame, poll] {
                    if (kestrup::DetectionActive()) {
                        poll->stop();
                        frame->close();
                    }
                });
                poll->start(1);
            }
        }
    });
    const auto deadline = LoopDeadline("the detection to close the window in");
    EXPECT_EQ(Run({"--scenario", Scenario("attach-delay 100000000\n")}), 0);

    const std::vector<QJsonObject> records = History();
    ASSERT_EQ(records.size(), 3u);
    // Each attempt's begun line came first, with the same id.
    const std::vector<QJsonObject> lines = History(false);
    ASSERT_EQ(lines.size(), 6u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[2 * i]["result"].toString(), "begun");
        EXPECT_EQ(lines[2 * i]["package"].toString(), "TPro_English.pcg");
        EXPECT_EQ(lines[2 * i]["attempt"].toString(), records[i]["attempt"].toString());
        EXPECT_EQ(records[i]["attempt"].toString().size(), 16);
    }
    EXPECT_NE(records[0]["attempt"], records[1]["attempt"]);
    const QJsonObject& good = records[0];
    EXPECT_EQ(good["result"].toString(), "succeeded");
    EXPECT_EQ(good["reason"].toString(), "");
    EXPECT_EQ(good["package"].toString(), "TPro_English.pcg");
    EXPECT_EQ(good["language"].toString(), "English");
    EXPECT_EQ(good["instrument"].toString(), "1209:0001");
    EXPECT_EQ(good["sha256"].toString().toStdString(),
              UpgradeHistory::Sha256OfFile(sandbox.PackageDir() + "TPro_English.pcg"));
    EXPECT_EQ(good["sha256"].toString().size(), 64);
    EXPECT_EQ(good["signature"].toObject()["state"].toString(), "unsigned");
    EXPECT_LE(good["start"].toString(), good["end"].toString());
    const QJsonArray files = good["files"].toArray();
    ASSERT_EQ(files.size(), 3);
    EXPECT_EQ(files[2].toObject()["name"].toString(), "c.bin");
    EXPECT_EQ(files[2].toObject()["result"].toString(), "sent");
    EXPECT_EQ(records[1]["result"].toString(), "failed");
    EXPECT_EQ(records[1]["reason"].toString(), "c.bin: CRC Failed");
    EXPECT_EQ(records[1]["files"].toArray()[2].toObject()["result"].toString(), "failed");
    EXPECT_EQ(records[2]["result"].toString(), "closed");
    EXPECT_EQ(records[2]["instrument"].toString(), "");
    EXPECT_TRUE(records[2]["files"].toArray().isEmpty());
    EXPECT_TRUE(records[2]["signature"].isNull());  // closed before the package was checked

    EXPECT_EQ(Run({"--history", "2"}), 0);
    const std::string out = Output();
    ASSERT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_NE(out.find("\tclosed\tTPro_English.pcg\tEnglish \t-\t"), std::string::npos) << out;
    EXPECT_GT(out.find("\tfailed\t"), out.find("\tclosed\t"));
    EXPECT_EQ(out.find("\tsucceeded\t"), std::string::npos);
}

// The operator's view of signatures: the listing's column, --verify, the
// report and the history; a refused package names its reason and sends
// nothing, and a key file that is not one is named once.
TEST_F(ProgramTest, SignaturesAreListedVerifiedReportedAndRefusedWithTheirReason) {
    using testsupport::MinisignTool;
    if (!MinisignTool::Available()) {
        GTEST_SKIP() << MinisignTool::Missing();
    }
    const std::string package = sandbox.PackageDir() + "TPro_English.pcg";
    std::filesystem::create_directories(sandbox.KeysDir());
    ASSERT_TRUE(MinisignTool::MakeKey(sandbox.Root() + "maker.key", sandbox.KeysDir() + "m.pub"));
    ASSERT_TRUE(testsupport::PackageSandbox::Write(sandbox.SystemDir() + "trusted-keys/broken.pub",
                                                   "untrusted comment: \x1b[2J\nnot a key\n"));
    ASSERT_TRUE(MinisignTool::Sign(sandbox.Root() + "maker.key", package, "line\tbreak <b>7</b>"));
    std::string id;
    {
        std::string error;
        const auto key = MinisignPublicKey::Parse(sandbox.Read(sandbox.KeysDir() + "m.pub"), error);
        ASSERT_TRUE(key) << error;
        id = MinisignPublicKey::IdText(key->id);
    }
    ASSERT_TRUE(
        platform::FileSystem::CopyReplacing(package, sandbox.PackageDir() + "TPro_Two.pcg"));
    const std::string broken = "kestrup: " + sandbox.SystemDir() +
                               "trusted-keys/broken.pub: the key line is not the base64";

    EXPECT_EQ(Run({"--list"}), 0);
    std::string out = Output();
    EXPECT_NE(out.find("English\t\t\tTPro_English.pcg\tsigned:" + id + "\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("English\t\t\tTPro_Two.pcg\tunsigned\n"), std::string::npos) << out;
    EXPECT_NE(out.find(broken), std::string::npos) << out;
    EXPECT_EQ(out.find(broken), out.rfind(broken)) << "named once per run\n" << out;

    EXPECT_EQ(Run({"--verify", "TPro_English.pcg"}), 0);
    EXPECT_NE(Output().find("TPro_English.pcg: signed:" + id + "\nkey id: " + id +
                            "\ntrusted comment: line\\tbreak <b>7</b>\n"),
              std::string::npos)
        << Output();
    EXPECT_EQ(Run({"--verify", "TPro_Two.pcg"}), 1);
    EXPECT_NE(Output().find("TPro_Two.pcg: unsigned\nNot signed.\n"), std::string::npos)
        << Output();
    for (const char* name : {"Other.pcg", "../cfg/TPro_English.pcg", ".."}) {
        EXPECT_EQ(Run({"--verify", name}), 2) << name;
    }

    // The signed package goes through; the report and the history carry the
    // signature, its key id and trusted comment as the maker wrote it.
    ASSERT_EQ(Run({"--simulate", "--upgrade", "TPro_English.pcg", "--json"}), 0) << Output();
    QJsonObject event;
    for (const QByteArray& line : QByteArray::fromStdString(Output()).split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object["event"].toString() == "signature") {
            event = object;
        }
    }
    EXPECT_EQ(event["state"].toString(), "signed");
    EXPECT_EQ(event["key_id"].toString().toStdString(), id);
    EXPECT_EQ(event["trusted_comment"].toString(), "line\tbreak <b>7</b>");
    ASSERT_FALSE(History().empty());
    EXPECT_EQ(History().back()["signature"].toObject(),
              (QJsonObject{{"state", "signed"},
                           {"key_id", QString::fromStdString(id)},
                           {"trusted_comment", "line\tbreak <b>7</b>"}}));

    // An altered trusted comment: listed as bad, refused whatever the policy.
    std::string signature = sandbox.Read(package + ".minisig");
    signature.replace(signature.find("<b>7</b>"), 8, "<b>8</b>");
    ASSERT_TRUE(platform::FileSystem::WriteAll(package + ".minisig", signature));
    EXPECT_EQ(Run({"--list"}), 0);
    EXPECT_NE(Output().find("TPro_English.pcg\tbad-signature\n"), std::string::npos) << Output();
    EXPECT_EQ(Run({"--verify", "TPro_English.pcg"}), 1);
    EXPECT_NE(Output().find("the trusted comment was altered"), std::string::npos) << Output();
    EXPECT_EQ(Run({"--simulate", "--upgrade", "TPro_English.pcg"}), 1);
    out = Output();
    EXPECT_NE(
        out.find("Message: " + CUpgradeView::RefusedPackageText(
                                   "TPro_English.pcg", "has a signature that does not verify")),
        std::string::npos)
        << out;
    EXPECT_EQ(CUpgradeView::RefusedPackageText("TPro_English.pcg", "is not signed"),
              "The package TPro_English.pcg is not signed and cannot be installed. Nothing was "
              "sent to the instrument.");
    EXPECT_EQ(out.find("Sending"), std::string::npos) << out;
    EXPECT_EQ(LastLine(),
              "Result: upgrade failed: no file sent: the package has a signature that does not "
              "verify");
    EXPECT_EQ(History().back()["signature"].toObject()["state"].toString(), "bad-signature");

    // With the policy on, an unsigned package is refused too.
    ASSERT_TRUE(testsupport::PackageSandbox::Write(sandbox.SystemDir() + "kestrup.conf",
                                                   "[Packages]\nRequireSignature=yes\n"));
    EXPECT_EQ(Run({"--simulate", "--upgrade", "TPro_Two.pcg"}), 1);
    EXPECT_EQ(Output().find("Sending"), std::string::npos) << Output();
    EXPECT_EQ(LastLine(), "Result: upgrade failed: no file sent: the package is not signed");
}

// The window's upgrade: a file the instrument cannot take is told in a box,
// which the history gives as the reason.
TEST_F(ProgramTest, TheWindowsAttemptIsRecordedWithTheBoxThatTellsItsFailure) {
    const std::string name = std::string(50, 'n') + ".dat";
    testsupport::ArchiveWriter zip(sandbox.PackageDir() + "TPro_Long.pcg");
    zip.File("package.inf", "[PACKAGE]\r\nDescription=Talvenmark Pro software\r\n");
    zip.File(name, "x");
    ASSERT_TRUE(zip.Close());
    // The operator closes the window once the box was dismissed and the
    // upgrade is over: states that last, whenever the timer looks.
    bool started = false, dismissed = false;
    QTimer operatorAtTheBench;
    operatorAtTheBench.callOnTimeout([&] {
        CMainFrame* frame = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            frame = frame != nullptr ? frame : dynamic_cast<CMainFrame*>(widget);
        }
        if (frame == nullptr) {
            return;
        }
        if (!started) {
            auto* list = frame->findChild<QTreeWidget*>();
            for (int row = 0; row < list->topLevelItemCount(); ++row) {
                if (list->topLevelItem(row)->text(3) == "TPro_Long.pcg") {
                    list->setCurrentItem(list->topLevelItem(row));
                }
            }
            frame->Router().Route(res::ID_UPGRADE_VIA_USB);
            started = true;
        } else if (QWidget* box = QApplication::activeModalWidget()) {
            box->close();  // the operator reads it and dismisses it
            dismissed = true;
        } else if (dismissed && !kestrup::UpgradeBusy()) {
            frame->close();
        }
    });
    operatorAtTheBench.start(1);
    const auto deadline = LoopDeadline("the operator's upgrade and close");
    EXPECT_EQ(Run({"--simulate"}), 0);
    const std::vector<QJsonObject> records = History();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["package"].toString(), "TPro_Long.pcg");
    EXPECT_EQ(records[0]["result"].toString(), "failed");
    EXPECT_EQ(records[0]["reason"].toString().toStdString(),
              name + ": file name too long for the instrument (54 characters, at most 42)");
}

CMainFrame* TheMainFrame() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* frame = dynamic_cast<CMainFrame*>(widget)) {
            return frame;
        }
    }
    return nullptr;
}

// Interruptions: SIGTERM, SIGINT or SIGHUP while an image flashes close the
// program in order (also with the close question open in the window): exit
// 128 + the signal, the attempt recorded as closed by it, the result line
// last. A reader gone from the report (SIGPIPE) never stops the upgrade. A
// process killed outright leaves its begun line: --history says interrupted.
TEST_F(ProgramTest, InterruptionsLeaveTheirRecord) {
    const QString longFlash = Scenario("flash-time 600000\n");
    struct Row {
        int signal;
        bool window;
        const char* name;
    };
    for (const Row row : {Row{SIGTERM, false, "SIGTERM"}, Row{SIGINT, false, "SIGINT"},
                          Row{SIGHUP, false, "SIGHUP"}, Row{SIGTERM, true, "SIGTERM"}}) {
        SCOPED_TRACE(std::string(row.name) + (row.window ? " in the window" : ""));
        const std::size_t before = History().size();
        const auto flashing = [] {
            CMainFrame* frame = TheMainFrame();
            return frame != nullptr &&
                   frame->m_wndStatusBar.GetPaneText(0).startsWith("c.bin: Flashing File");
        };
        const auto raise = [row] { ::kill(::getpid(), row.signal); };
        std::unique_ptr<QTimer> start, signal, question;
        if (row.window) {
            start = WhenReady([] { return TheMainFrame() != nullptr; },
                              [] { TheMainFrame()->Router().Route(res::ID_UPGRADE_VIA_USB); });
            // The operator asks to close; the signal comes while the question waits.
            question = WhenReady(flashing, [&signal, raise] {
                signal =
                    WhenReady([] { return QApplication::activeModalWidget() != nullptr; }, raise);
                TheMainFrame()->close();
            });
            EXPECT_EQ(Run({"--scenario", longFlash}), 128 + row.signal);
        } else {
            signal = WhenReady(flashing, raise);
            EXPECT_EQ(Run({"--scenario", longFlash, "--upgrade", "TPro_English.pcg"}),
                      128 + row.signal);
            EXPECT_EQ(LastLine(), std::string("Result: upgrade failed: ended by ") + row.name);
        }
        const std::vector<QJsonObject> records = History();
        ASSERT_EQ(records.size(), before + 1);
        EXPECT_EQ(records.back()["result"].toString(), "closed");
        EXPECT_EQ(records.back()["reason"].toString().toStdString(),
                  std::string("ended by ") + row.name);
        EXPECT_EQ(records.back()["files"].toArray().last()["result"].toString(), "unfinished");
    }

    // The report's reader is gone: the upgrade goes on and is recorded.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ::close(pipeFds[0]);
    std::FILE* gone = ::fdopen(pipeFds[1], "w");
    EXPECT_EQ(Run({"--simulate", "--upgrade", "TPro_English.pcg"}, gone), 0) << Output();
    std::fclose(gone);
    EXPECT_EQ(History().back()["result"].toString(), "succeeded");

    // Killed outright while the boot image flashes: the program as it is
    // installed, on real time (some six seconds).
    std::filesystem::create_directories(sandbox.Root() + "bin");
    std::filesystem::copy_file(KESTRUP_PROGRAM, sandbox.Executable());
    const std::string killedHistory = sandbox.Root() + "killed/kestrup/history.jsonl";
    std::string scenario = CommandLine::Bytes(longFlash);
    std::string arguments[] = {"kestrup", "--scenario", scenario, "--upgrade", "TPro_English.pcg"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t child = 0;
    {
        const ScopedEnvironment state("XDG_STATE_HOME", sandbox.Root() + "killed");
        ASSERT_EQ(::posix_spawn(&child, sandbox.Executable().c_str(), &actions, nullptr,
                                argv.data(), environ),
                  0);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (seen.find("Status: b.boot: Flashing File") == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "never flashed:\n" << seen;
        struct pollfd ready {
            out[0], POLLIN, 0
        };
        if (::poll(&ready, 1, 1000) > 0) {
            char buffer[4096];
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            ASSERT_GT(n, 0) << "ended early:\n" << seen;
            seen.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(out[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    const std::vector<QJsonObject> lines = History(false, killedHistory);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["result"].toString(), "begun");
    historyPath = killedHistory;
    EXPECT_EQ(Run({"--history"}), 0);
    EXPECT_NE(Output().find("\tinterrupted\tTPro_English.pcg\tEnglish \t-\n"), std::string::npos)
        << Output();
}

TEST_F(ProgramTest, AHistoryThatCannotBeWrittenNeverFailsTheUpgrade) {
    // The history's directory is a plain file.
    ASSERT_TRUE(platform::FileSystem::WriteAll(sandbox.Root() + "state", "not a directory"));
    ASSERT_EQ(Run({"--simulate", "--upgrade", "TPro_English.pcg"}), 0) << Output();
    const std::string out = Output();
    const std::string complaint = "kestrup: cannot write the upgrade history";
    ASSERT_NE(out.find(complaint), std::string::npos) << out;
    EXPECT_EQ(out.find(complaint), out.rfind(complaint));
    EXPECT_EQ(LastLine(), "Result: upgrade succeeded");
}

// The private temporary directory and the history's path, where another
// user or a link could lead the program astray: it fails closed and says why
// (the history only once, and the upgrade goes on), never writing elsewhere.
TEST_F(ProgramTest, TheTemporaryDirectoryAndTheHistoryPathFailClosed) {
    struct Case {
        const char* what;
        std::function<void()> make;
        const char* said;
        bool needsRoot;  // only root can give a file away
    };
    const std::string temp = sandbox.TempDir().substr(0, sandbox.TempDir().size() - 1);
    const Case temps[] = {
        {"a link", [&] { std::filesystem::create_directory_symlink(sandbox.Outside(), temp); },
         "it is a symbolic link", false},
        {"writable by others",
         [&] { ASSERT_EQ(::mkdir(temp.c_str(), 0700) | ::chmod(temp.c_str(), 0777), 0); },
         "it is writable by others", false},
        {"another user's",
         [&] { ASSERT_EQ(::mkdir(temp.c_str(), 0700) | ::chown(temp.c_str(), 65534, 0), 0); },
         "it belongs to another user", true},
    };
    for (const Case& c : temps) {
        for (const QStringList& arguments :
             {QStringList{"--list"}, QStringList{"--simulate", "--upgrade", "TPro_English.pcg"}}) {
            SCOPED_TRACE(std::string(c.what) + " " + arguments.join(' ').toStdString());
            if (c.needsRoot && ::geteuid() != 0) {
                continue;
            }
            std::filesystem::remove_all(temp);
            c.make();
            EXPECT_EQ(Run(arguments), 1);
            EXPECT_NE(Output().find(std::string("kestrup: refusing temporary directory ") + temp +
                                    ": " + c.said + "\n"),
                      std::string::npos)
                << Output();
            EXPECT_EQ(testsupport::PackageSandbox::Names(sandbox.Outside()), "");
        }
    }
    std::filesystem::remove_all(temp);

    // The history under $XDG_STATE_HOME: a link on the way, a file with a
    // second name or another owner is refused; nothing is written there.
    const std::string state = sandbox.Root() + "state", dir = state + "/kestrup";
    const std::string file = dir + "/history.jsonl", foreign = sandbox.Outside() + "foreign";
    ASSERT_TRUE(platform::FileSystem::WriteAll(foreign, "someone else's\n"));
    const Case histories[] = {
        {"its folder a link",
         [&] {
             std::filesystem::remove(dir);
             std::filesystem::create_directory_symlink(sandbox.Outside(), dir);
         },
         "kestrup is a symbolic link or not a directory", false},
        {"a link", [&] { std::filesystem::create_symlink(foreign, file); }, "it is a symbolic link",
         false},
        {"a hard link", [&] { std::filesystem::create_hard_link(foreign, file); },
         "it has more than one link", false},
        {"another user's",
         [&] {
             ASSERT_TRUE(platform::FileSystem::WriteAll(file, "") &&
                         !::chown(file.c_str(), 65534, 0));
         },
         "it belongs to another user", true},
    };
    const ScopedEnvironment where("XDG_STATE_HOME", state);
    historyPath.clear();  // where the environment says
    for (const Case& c : histories) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && ::geteuid() != 0) {
            continue;
        }
        std::filesystem::remove_all(state);
        ASSERT_TRUE(std::filesystem::create_directories(dir));
        c.make();
        EXPECT_EQ(Run({"--simulate", "--upgrade", "TPro_English.pcg"}), 0) << Output();
        const std::string out = Output();
        EXPECT_NE(
            out.find("kestrup: cannot write the upgrade history " + file + ": " + c.said + "\n"),
            std::string::npos)
            << out;
        EXPECT_EQ(out.find("cannot write the upgrade history"),
                  out.rfind("cannot write the upgrade history"));
        EXPECT_EQ(LastLine(), "Result: upgrade succeeded");
        EXPECT_EQ(testsupport::PackageSandbox::Read(foreign), "someone else's\n");
        EXPECT_EQ(testsupport::PackageSandbox::Names(sandbox.Outside()), "foreign");
    }
}

TEST_F(ProgramTest, ASecondInstanceLeavesTheFirstOnesStagingAloneAndExitsWithThree) {
    const QStringList upgrade{"--simulate", "--upgrade", "TPro_English.pcg"};
    std::string tempDir, error;
    ASSERT_TRUE(platform::PrivateTempDir::Get(tempDir, error)) << error;
    std::filesystem::create_directories(tempDir + "test/");
    ASSERT_TRUE(platform::FileSystem::WriteAll(tempDir + "test/c.bin", "being sent"));
    {
        platform::InstanceLock first;
        bool held = false;
        ASSERT_TRUE(first.Acquire(tempDir, held));
        EXPECT_EQ(Run(upgrade), 3);
        EXPECT_NE(Output().find("Another Talvenmark Pro Upgrade Utility is already running."),
                  std::string::npos)
            << Output();
        EXPECT_EQ(testsupport::PackageSandbox::Read(tempDir + "test/c.bin"), "being sent");
    }
    // Once the first has ended, the next one runs.
    EXPECT_EQ(Run(upgrade), 0) << Output();

    // Bound runs and the whole program keep each other out alike, and the
    // one kept out is told what runs.
    std::string base;
    ASSERT_TRUE(platform::PrivateTempDir::GetBase(base, error)) << error;
    const std::string me = " (process " + std::to_string(::getpid()) + ")";
    {
        RunLock bound;
        ASSERT_EQ(bound.Take(base, base + "instrument-1-2/", "an upgrade bound to 1-2"),
                  RunLock::Result::Taken);
        EXPECT_EQ(Run(upgrade), 3);
        EXPECT_NE(Output().find("Another Talvenmark Pro Upgrade Utility is already running.\n"
                                "kestrup: running now: an upgrade bound to 1-2" +
                                me + "\n"),
                  std::string::npos)
            << Output();
        EXPECT_EQ(Run(upgrade + QStringList{"--instrument", "1-2"}), 3);
        // A run bound to another instrument goes on beside it.
        EXPECT_EQ(Run(upgrade + QStringList{"--instrument", "1-1"}), 0) << Output();
    }
    RunLock window;
    ASSERT_EQ(window.Take(base, "", "the window"), RunLock::Result::Taken);
    EXPECT_EQ(Run(upgrade + QStringList{"--instrument", "1-1"}), 3);
    EXPECT_NE(Output().find("running now: the window" + me), std::string::npos) << Output();
    window.Release();
    EXPECT_EQ(Run(upgrade), 0) << Output();
}

// Runs bound to one instrument: only that one is sent anything, the history
// names it, a station leaves alone what it does not accept, and the lock
// keeps bound runs apart from the whole program and from each other.
TEST_F(ProgramTest, ABoundRunSendsOnlyToItsInstrument) {
    auto instrument = [this](const std::string& serial, const std::string& extra = "") {
        const std::string path = sandbox.Root() + serial + ".txt";
        EXPECT_TRUE(platform::FileSystem::WriteAll(
            path, "serial " + serial + "\nflash-dir " + sandbox.Root() + serial + "\n" + extra));
        return QString::fromStdString(path);
    };
    const QStringList two{"--scenario", instrument("TP-A"), "--scenario", instrument("TP-B")};
    auto flash = [this](const char* serial) {
        return testsupport::PackageSandbox::Names(sandbox.Root() + serial);
    };
    ASSERT_EQ(Run(two + QStringList{"--instrument", "TP-B", "--upgrade", "TPro_English.pcg"}), 0)
        << Output();
    EXPECT_EQ(flash("TP-A"), "");
    EXPECT_EQ(flash("TP-B"), "a.dat b.boot c.bin");
    ASSERT_EQ(History().size(), 1u);
    EXPECT_EQ(History()[0]["bound"].toString(), "TP-B");
    EXPECT_EQ(History()[0]["serial"].toString(), "TP-B") << sandbox.Read(historyPath);
    EXPECT_EQ(History()[0]["port"].toString(), "1-2");
    // By its port.
    ASSERT_EQ(Run(two + QStringList{"--instrument", "1-1", "--upgrade", "TPro_English.pcg"}), 0)
        << Output();
    EXPECT_EQ(flash("TP-A"), "a.dat b.boot c.bin");
    EXPECT_EQ(History()[1]["serial"].toString(), "TP-A");
    // An instrument that is not there is not found, whatever else is.
    EXPECT_EQ(Run(two + QStringList{"--instrument", "TP-C", "--upgrade", "TPro_English.pcg"}), 1);
    EXPECT_EQ(LastLine(), "Result: upgrade failed: instrument not found");

    // A station accepts only the serial numbers its pattern fits.
    const std::string config = sandbox.Root() + "station.conf";
    ASSERT_TRUE(
        platform::FileSystem::WriteAll(config, "package = TPro_English.pcg\nserial = TP-B*\n"));
    std::filesystem::remove_all(sandbox.Root() + "TP-A");
    stationConfigPath = config;
    EXPECT_EQ(Run(two + QStringList{"--station", "1-1"}), 4) << Output();
    EXPECT_NE(Output().find("kestrup: the instrument 1-1 has the serial number TP-A, which does "
                            "not fit the station's pattern TP-B*; it is left alone\n"),
              std::string::npos)
        << Output();
    EXPECT_EQ(flash("TP-A"), "");
    EXPECT_EQ(History().size(), 3u);
    ASSERT_EQ(Run(two + QStringList{"--station", "1-2", "--json"}), 0) << Output();
    EXPECT_NE(LastLine().find(R"("succeeded":true)"), std::string::npos) << Output();
    ASSERT_EQ(Run({"--station-status"}), 0);
    EXPECT_NE(Output().find("1-2\tTP-B\tsucceeded TPro_English.pcg\t"), std::string::npos)
        << Output();
    EXPECT_NE(Output().find("TP-C\t-\tfailed TPro_English.pcg: instrument not found\t"),
              std::string::npos)
        << Output();
}

// A back end without devices of its own whose first look at the attached
// devices waits until the test opens it: a detection pass is then looking for
// the instrument for as long as the test needs.
class LookGate : public platform::usbio::UsbioBackend {
  public:
    std::vector<std::shared_ptr<platform::usbio::UsbioDevice>> AttachedDevices() override {
        if (!passed_.exchange(true)) {
            reached.Set();
            testsupport::Await(open, "the test's opening of the detection's look");
        }
        return {};
    }
    platform::Event reached{true, false};
    platform::Event open{true, false};

  private:
    std::atomic<bool> passed_{false};
};

// The application with the upgrade engine joined to it, on the simulated
// instrument.
class WiringTest : public ProgramTest {
  protected:
    explicit WiringTest(std::uint32_t microsPerMs = 1) : ProgramTest(microsPerMs) {}

    void Start(const std::string& scenario, bool workerStarts = true) {
        QString error;
        ASSERT_TRUE(simulation.Start(Scenario(scenario), error));
        auto docTemplate = std::make_unique<CKestrupDocTemplate>(sandbox.Executable());
        tmpl = docTemplate.get();
        app.SetDocViewSeam(std::move(docTemplate));
        wiring = std::make_unique<UpgradeWiring>(app, *tmpl);
        wiring->Install();
        wiring->SetCloseAnswerer([this] {
            ++questions;
            return answer;
        });
        wiring->SetAttemptFailedObserver([this](const std::string& why) {
            std::lock_guard lock(failuresMutex);
            failures.push_back(why);
        });
        {
            std::optional<platform::Thread::ScopedStartFailure> failure;
            if (!workerStarts) {
                failure.emplace();
            }
            ASSERT_TRUE(app.InitInstance({}));
        }
        kestrup::MessageBoxService::Install(&boxes);
        frame = app.MainFrame();
        frame->SetNotificationObserver(
            [this](std::uint32_t message, platform::WPARAM w, platform::LPARAM l) {
                if (message == kestrup::WM_UPGRADE_PROGRESS) {
                    progress.emplace_back(kestrup::ProgressValue(w), static_cast<std::int64_t>(l));
                }
                if (onNotification) {
                    onNotification(message);
                }
            });
    }
    void TearDown() override {
        if (wiring) {
            PumpUntil([] { return !kestrup::UpgradeBusy(); }, "the end of the upgrade");
            wiring->StopWorker();
        }
        app.ReleaseUi();
        wiring.reset();
    }
    // Lets the UI thread handle what has arrived.
    static void Pump() {
        QCoreApplication::processEvents();
        platform::WindowMessages::DispatchPending();
    }
    // Lets the UI thread handle what arrives until done() holds, or (for a
    // close at a moment the test draws) until `programMs` of program time
    // have passed. It wakes for Qt's events (the engine's window messages and
    // queued calls among them) and every real millisecond for what changes
    // on other threads without one (a box recorded on the worker's thread).
    // False at the deadline, with a failure naming `what`.
    static bool PumpUntil(const std::function<bool()>& done, const std::string& what,
                          std::optional<std::uint64_t> programMs = std::nullopt) {
        const auto deadline = std::chrono::steady_clock::now() + testsupport::kEventDeadline;
        const std::uint64_t until = programMs ? platform::TimeFacility::NowMs() + *programMs : 0;
        QTimer backstop;
        backstop.start(1);
        while (true) {
            Pump();
            if (done() || (programMs && platform::TimeFacility::NowMs() >= until)) {
                return done();
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                ADD_FAILURE() << "waited " << testsupport::kEventDeadline.count() << " s for "
                              << what << " in vain";
                return false;
            }
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
    // Program time passing with the UI thread at work: the moment of a close.
    static void PumpFor(std::uint64_t programMs) {
        PumpUntil([] { return false; }, "nothing", programMs);
    }
    std::vector<std::string> Failures() {
        std::lock_guard lock(failuresMutex);
        return failures;
    }
    // Closes the window; returns how long the close took in program time.
    std::uint64_t Close() {
        const std::uint64_t from = platform::TimeFacility::NowMs();
        frame->close();
        return platform::TimeFacility::NowMs() - from;
    }
    // Everything of the engine has ended.
    static void ExpectEngineEnded() {
        EXPECT_FALSE(kestrup::DetectionActive());
        EXPECT_FALSE(kestrup::HandOffActive());
        EXPECT_FALSE(kestrup::g_bUpgradeRunPending.load());
        EXPECT_EQ(kestrup::g_pUpgradeThread.load(), nullptr);
    }
    bool Seen(std::int32_t w, std::int64_t l) const {
        return std::find(progress.begin(), progress.end(), std::make_pair(w, l)) != progress.end();
    }
    int Count(std::int32_t w, std::int64_t l) const {
        return static_cast<int>(std::count(progress.begin(), progress.end(), std::make_pair(w, l)));
    }
    bool UpgradeEnabled() const { return frame->Router().Query(res::ID_UPGRADE_VIA_USB).enabled; }
    bool NewEnabled() const { return frame->Router().Query(res::ID_FILE_NEW).enabled; }

    SimulationSession simulation;
    CKestrupApp app;
    CKestrupDocTemplate* tmpl = nullptr;
    CMainFrame* frame = nullptr;
    std::unique_ptr<UpgradeWiring> wiring;
    std::vector<std::pair<std::int32_t, std::int64_t>> progress;
    int questions = 0;
    bool answer = false;
    testsupport::RecordingMessageBoxes boxes;
    std::function<void(std::uint32_t message)> onNotification;
    std::mutex failuresMutex;
    std::vector<std::string> failures;
};

TEST_F(WiringTest, WithoutAWorkerTheOperatorIsToldAndTheCommandDoesNothing) {
    Start("", false);
    Pump();
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{UpgradeWiring::WorkerFailureText()});
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    Pump();
    EXPECT_FALSE(kestrup::DetectionActive());
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(Failures(), std::vector<std::string>{"the upgrade worker could not be started"});
}

TEST_F(WiringTest, AnUpgradeThatCannotBeginTellsTheOperatorAndEndsTheAttempt) {
    Start("");
    {
        platform::Thread::ScopedStartFailure failure;
        frame->Router().Route(res::ID_UPGRADE_VIA_USB);
        Pump();
    }
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Test Usb Thread not started!\r\n"});
    EXPECT_EQ(Failures(), std::vector<std::string>{"device detection could not be started"});

    // The hand-off finds no worker to post to.
    platform::Thread* worker = kestrup::g_pUpgradeThread.exchange(nullptr);
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    EXPECT_TRUE(PumpUntil([this] { return Failures().size() == 2 && !kestrup::UpgradeBusy(); },
                          "the second attempt's failure"));
    kestrup::g_pUpgradeThread.store(worker);
    ASSERT_EQ(boxes.Texts().size(), 2u);
    EXPECT_EQ(boxes.Texts()[1], kestrup::HandOffFailureText());
    EXPECT_EQ(Failures()[1], "no file sent: the upgrade could not be handed to the worker");
    EXPECT_EQ(simulation.Instrument()->Protocol().StartCount(), 0);
    Pump();
    EXPECT_TRUE(UpgradeEnabled());
}

TEST_F(WiringTest, ClosingBeforeAnyUpgradeStopsPausesAndEndsTheWorker) {
    Start("");
    platform::TimeFacility::ScopedLog log;
    Close();
    EXPECT_FALSE(frame->isVisible());
    EXPECT_EQ(questions, 0);
    EXPECT_TRUE(app.m_hStopEvent->IsSignaled());   // nobody was there to take it
    EXPECT_FALSE(app.m_hDoneEvent->IsSignaled());  // start-up's signal was taken by the close
    const auto timeouts = log.TimeoutsOf(platform::Thread::CurrentId());
    EXPECT_NE(std::find(timeouts.begin(), timeouts.end(), 1000u), timeouts.end());
    ExpectEngineEnded();
}

// Until the run's opening request has gone out nothing has been sent, so a
// close is safe and asks nothing; once it has, closing asks (below).
TEST_F(WiringTest, ClosingAsksOnlyOnceTheRunHasBegun) {
    WriteDamaged(Damage::Checksum);
    Start("");
    answer = false;
    // The close comes while the hand-off holds the connection (its box is
    // up on the detection thread): the box waits until the close decided.
    struct BoxDuringTheClose : kestrup::MessageBoxService {
        std::atomic<bool> shown{false};
        std::atomic<int>* asked = nullptr;
        void Show(const std::string&) override {
            shown = true;
            testsupport::AwaitCondition(
                [this] { return kestrup::RunStopRequested() || asked->load() != 0; },
                "the close's decision");
        }
    } box;
    std::atomic<int> asked{0};
    box.asked = &asked;
    wiring->SetCloseAnswerer([&] {
        ++questions;
        ++asked;
        return answer;
    });
    kestrup::MessageBoxService::Install(&box);
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    ASSERT_TRUE(PumpUntil([&] { return box.shown.load(); }, "the hand-off's box"));
    EXPECT_TRUE(kestrup::HandOffActive());
    frame->close();
    kestrup::MessageBoxService::Install(&boxes);
    EXPECT_EQ(questions, 0);
    EXPECT_FALSE(frame->isVisible());
    EXPECT_EQ(simulation.Instrument()->Protocol().StartCount(), 0);
    ExpectEngineEnded();
}

TEST_F(WiringTest, NoSecondUpgradeWhileDetectionRunsAndClosingStopsIt) {
    Start("attach-delay 100000000\n");
    EXPECT_TRUE(UpgradeEnabled());
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    Pump();
    ASSERT_TRUE(kestrup::DetectionActive());
    EXPECT_EQ(Count(-16, 14), 1);
    // While it runs: the command, the double click and a rescan do nothing.
    EXPECT_FALSE(UpgradeEnabled());
    EXPECT_FALSE(NewEnabled());
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    tmpl->View()->OnDblclkPackageList(0);
    Pump();
    EXPECT_EQ(Count(-16, 14), 1);
    // Closing asks the detection to stop and waits for it; nothing is asked.
    Close();
    EXPECT_FALSE(frame->isVisible());
    EXPECT_EQ(questions, 0);
    ExpectEngineEnded();
    EXPECT_FALSE(Seen(-16, 15));  // it stopped; it did not give up
}

TEST_F(WiringTest, TheChosenPackageIsSentWhateverTheSelectionDoesMeanwhile) {
    {
        testsupport::ArchiveWriter zip(sandbox.PackageDir() + "TPro_Deutsch.pcg");
        zip.File("package.inf",
                 "[PACKAGE]\r\nDescription=Talvenmark Pro software\r\nlanguage=Deutsch\r\n")
            .File("de.bin", std::string(3000, 'd'));
        ASSERT_TRUE(zip.Close());
    }
    Start("");
    CUpgradeView* view = tmpl->View();
    // Listed in name order: Deutsch, then English.
    ASSERT_EQ(std::string(tmpl->Document()->GetItem(1, 0)), "English");
    view->OnClickPackageList(1);
    // The detection's first look at the devices waits until the test is done
    // with the list: the instrument is looked for meanwhile.
    const auto gate = std::make_shared<LookGate>();
    platform::usbio::UsbioDriver::InstallBackend(gate);
    struct Opening {
        std::shared_ptr<LookGate> gate;
        ~Opening() {
            gate->open.Set();
            platform::usbio::UsbioDriver::RemoveBackend(gate);
        }
    } opening{gate};
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    Pump();  // the command starts the upgrade through a posted message
    ASSERT_TRUE(testsupport::Await(gate->reached, "the detection's look at the devices"));
    ASSERT_TRUE(kestrup::DetectionActive());

    // While the instrument is looked for: a click on the other row, the
    // arrow keys, a refused double click, and a refill of the list (what
    // File > Open does, which is disabled meanwhile).
    view->OnClickPackageList(0);
    view->ListCtrl()->setCurrentItem(view->ListCtrl()->topLevelItem(0));
    view->OnDblclkPackageList(0);
    EXPECT_FALSE(frame->Router().Query(res::ID_FILE_OPEN).enabled);
    view->OnInitialUpdate();
    ASSERT_EQ(view->m_nSelectedItem.load(), 0);

    gate->open.Set();
    ASSERT_TRUE(PumpUntil([this] { return !kestrup::UpgradeBusy() && Seen(-16, 88); },
                          "the upgrade's success"));
    std::vector<std::string> sent;
    for (const auto& file : simulation.Instrument()->Protocol().Files()) {
        sent.push_back(file.name);
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"a.dat", "b.boot", "c.bin"}));
    EXPECT_TRUE(frame->Router().Query(res::ID_FILE_OPEN).enabled);
}

TEST_F(WiringTest, ADamagedPackageIsNotSentAndTheConnectionStays) {
    WriteDamaged(Damage::Checksum);
    Start("");
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    ASSERT_TRUE(PumpUntil([this] { return !kestrup::UpgradeBusy() && !boxes.Texts().empty(); },
                          "the damaged package's box"));
    EXPECT_EQ(boxes.Texts(),
              std::vector<std::string>{CUpgradeView::DamagedPackageText("TPro_English.pcg")});
    // After the box the status bar no longer tells of a detection.
    EXPECT_EQ(frame->m_wndStatusBar.GetPaneText(0).toStdString(), "Ready");
    EXPECT_EQ(simulation.Instrument()->Protocol().StartCount(), 0);
    EXPECT_TRUE(simulation.Instrument()->Protocol().Files().empty());
    EXPECT_EQ(platform::FileSystem::Exists(std::string(g_szStagingDir) + "b.boot"), false);
    // Connected as before; the command can be given again.
    EXPECT_EQ(kestrup::g_bConnected.load(), 1);
    EXPECT_TRUE(app.m_Channel.Device().IsOpen());
    Pump();
    EXPECT_TRUE(UpgradeEnabled());

    // A staging directory that is a link is neither emptied nor filled.
    const std::string staging = g_szStagingDir;
    std::filesystem::remove_all(staging);
    ASSERT_TRUE(testsupport::PackageSandbox::Write(sandbox.Outside() + "keep", "keep"));
    std::filesystem::create_directory_symlink(sandbox.Outside(),
                                              staging.substr(0, staging.size() - 1));
    WriteDamaged(Damage::None);
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    ASSERT_TRUE(PumpUntil([this] { return !kestrup::UpgradeBusy() && boxes.Texts().size() >= 2; },
                          "the staging directory's box"));
    ASSERT_EQ(boxes.Texts().size(), 2u);
    EXPECT_NE(boxes.Texts()[1].find("cannot be emptied. Nothing was sent"), std::string::npos)
        << boxes.Texts()[1];
    EXPECT_TRUE(simulation.Instrument()->Protocol().Files().empty());
    EXPECT_EQ(testsupport::PackageSandbox::Names(sandbox.Outside()), "keep");
}

// Closes that end everything: program time runs slower here, so that the
// time a close takes is measured with the real cost of its threads small
// beside it.
class ClosingTest : public WiringTest {
  protected:
    static constexpr std::uint32_t kMicrosPerMs = 25;
    ClosingTest() : WiringTest(kMicrosPerMs) {}

    // Closes the window and checks the close's bound.
    void CloseWithinTheBound() {
        platform::TimeFacility::ScopedLog log;
        const std::uint64_t took = Close();
        testsupport::ExpectCloseWithinBound(log.Records(), took, kMicrosPerMs);
    }
    // Judged by the order the engine recorded: the instrument heard no frame
    // begun after the close's stop, and no box reports an answer read after it.
    void ExpectNothingAfterTheStop() {
        const std::optional<kestrup::RunSteps> atStop = kestrup::StepsAtStop();
        ASSERT_TRUE(atStop.has_value());
        EXPECT_LE(simulation.Instrument()->Protocol().Log().size(), atStop->framesBegun);
        for (const std::uint64_t read : boxes.AnswersReadAtEach()) {
            EXPECT_LE(read, atStop->answersRead);
        }
    }
    // The simulated instrument's device, to answer from the test.
    static std::shared_ptr<platform::usbio::SimulatedDevice> InstrumentDevice() {
        for (const auto& device : platform::usbio::UsbioDriver::AttachedDevices()) {
            if (auto simulated =
                    std::dynamic_pointer_cast<platform::usbio::SimulatedDevice>(device)) {
                return simulated;
            }
        }
        ADD_FAILURE() << "no simulated instrument attached";
        return std::make_shared<platform::usbio::SimulatedDevice>(nullptr, "none", 0);
    }
};

TEST_F(ClosingTest, ClosingDuringARunAsksAndNoKeepsTheWindow) {
    // The application image's flash takes until the test ends it.
    Start("silent c.bin flash\n");
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    ASSERT_TRUE(
        PumpUntil([this] { return Count(-16, 13) == 2; },
                  "the application image's flash"));  // the application image is being flashed
    ASSERT_TRUE(kestrup::g_bUpgradeRunPending.load());
    answer = false;
    frame->close();
    EXPECT_EQ(questions, 1);
    EXPECT_TRUE(frame->isVisible());
    EXPECT_TRUE(app.m_Channel.Device().IsOpen());
    // The instrument ends its flash; after the run closing asks nothing and
    // closes the channel's device.
    InstrumentDevice()->QueueIn(sim::SimulatedInstrument::kInEndpoint, {kestrup::OP_FILE_OK});
    ASSERT_TRUE(PumpUntil([] { return !kestrup::UpgradeBusy(); }, "the end of the run"));
    EXPECT_TRUE(Seen(-16, 88));
    EXPECT_TRUE(UpgradeEnabled());
    frame->close();
    EXPECT_EQ(questions, 1);
    EXPECT_FALSE(frame->isVisible());
    EXPECT_FALSE(app.m_Channel.Device().IsOpen());
}

TEST_F(ClosingTest, YesDuringAFlashEndsTheRunAtOnceAndSilently) {
    // The boot image's flash never ends by itself.
    Start("silent b.boot flash\n");
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    ASSERT_TRUE(PumpUntil([this] { return Count(-16, 13) == 1; }, "the boot image's flash"));
    answer = true;
    CloseWithinTheBound();
    EXPECT_EQ(questions, 1);
    EXPECT_FALSE(frame->isVisible());
    ExpectEngineEnded();
    EXPECT_TRUE(boxes.Texts().empty());  // a cancelled flash wait is not a failure
    EXPECT_FALSE(Seen(-16, 88));
    EXPECT_EQ(simulation.Instrument()->Protocol().EndCount(), 0);
    ExpectNothingAfterTheStop();
}

// Closes at moments spread over a whole upgrade (the first detection, the
// connection and hand-off, files going, flashing) and, every third time,
// over a second detection after the instrument was unplugged during a run.
class CloseAtAnyMomentTest : public ClosingTest, public ::testing::WithParamInterface<int> {};

TEST_P(CloseAtAnyMomentTest, EndsEverythingWithinTheBound) {
    const bool afterUnplug = GetParam() % 3 == 2;
    Start(afterUnplug ? "vanish c.bin 1\n" : "flash-time 2000\n");
    answer = true;
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    if (afterUnplug) {
        ASSERT_TRUE(
            PumpUntil([] { return kestrup::g_bConnected.load() != 0 && !kestrup::UpgradeBusy(); },
                      "the run that loses its instrument"));
        frame->Router().Route(res::ID_UPGRADE_VIA_USB);  // the instrument is gone
        ASSERT_TRUE(PumpUntil([] { return kestrup::DetectionActive(); }, "the second detection"));
    }
    std::mt19937 random(static_cast<unsigned>(GetParam()));
    PumpFor(static_cast<std::uint64_t>(std::uniform_int_distribution<int>(0, 12000)(random)));
    // The instrument fails nothing here but the unplugged run, whose box came
    // before: a box during the close is the close's own cancel told as a failure.
    const std::vector<std::string> boxesBefore = boxes.Texts();
    CloseWithinTheBound();
    EXPECT_FALSE(frame->isVisible());
    ExpectEngineEnded();
    ExpectNothingAfterTheStop();
    EXPECT_EQ(boxes.Texts(), boxesBefore);
}

INSTANTIATE_TEST_SUITE_P(Moments, CloseAtAnyMomentTest, ::testing::Range(0, 6));

}  // namespace
