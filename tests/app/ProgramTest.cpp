// The program as a whole, in process and with the time facility scaled: the
// unattended mode's exit statuses, the whole road of an upgrade from the
// command to "Upgrade completed successfully", and the rules that keep
// upgrades from overlapping and closing from cutting one short.
#include "app/Program.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <QtCore/QCoreApplication>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QTreeWidget>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include "app/SimulationSession.h"
#include "app/UpgradeHistory.h"
#include "engine/DeviceDetection.h"
#include "engine/EngineShutdown.h"
#include "engine/MessageBoxService.h"
#include "engine/Notifications.h"
#include "engine/UpgradeWorker.h"
#include "package/MinisignPublicKey.h"
#include "package/PackageGlobals.h"
#include "platform/FileSystem.h"
#include "platform/InstanceLock.h"
#include "platform/PrivateTempDir.h"
#include "platform/TimeFacility.h"
#include "platform/WindowMessages.h"
#include "res/Resource.h"
#include "shell/CKestrupApp.h"
#include "shell/CKestrupDocTemplate.h"
#include "shell/CMainFrame.h"
#include "shell/CUpgradeView.h"
#include "shell/UpgradeWiring.h"
#include "tests/support/ArchiveWriter.h"
#include "tests/support/MinisignTool.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/PackageSandbox.h"

namespace {

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

    // Runs the program; returns its exit status and keeps what it printed.
    int Run(const QStringList& arguments) {
        if (out_ != nullptr) {
            std::fclose(out_);
        }
        out_ = std::tmpfile();
        Program::Settings settings;
        settings.executablePath = sandbox.Executable();
        settings.out = out_;
        settings.err = out_;
        settings.stopWorkerAtEnd = true;
        settings.historyPath = historyPath;
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
    // The history's records, oldest first.
    std::vector<QJsonObject> History() const {
        std::string text;
        platform::FileSystem::ReadAll(historyPath, text);
        std::vector<QJsonObject> records;
        for (const QByteArray& line : QByteArray::fromStdString(text).split('\n')) {
            const QJsonDocument record = QJsonDocument::fromJson(line);
            if (record.isObject()) {
                records.push_back(record.object());
            }
        }
        return records;
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
        DiskFull
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
    EXPECT_EQ(Run({"--scenario", Scenario("answer c.bin 2 10\n"), "--upgrade", "TPro_English.pcg"}),
              1);
    EXPECT_NE(Output().find("Message: CRC fail"), std::string::npos) << Output();
    EXPECT_EQ(LastLine(), "Result: upgrade failed: c.bin: CRC Failed");

    // No instrument ever appears: detection gives up after its twelve passes.
    EXPECT_EQ(
        Run({"--scenario", Scenario("attach-delay 100000000\n"), "--upgrade", "TPro_English.pcg"}),
        1);
    EXPECT_NE(Output().find("Failed to detect the device"), std::string::npos) << Output();
    EXPECT_EQ(LastLine(), "Result: upgrade failed: instrument not found");

    // The instrument never answers the opening request.
    EXPECT_EQ(
        Run({"--scenario", Scenario("start-answer silent\n"), "--upgrade", "TPro_English.pcg"}), 1);
    EXPECT_NE(Output().find("Result: upgrade failed: no file sent: the instrument did not answer "
                            "the opening request\n"),
              std::string::npos)
        << Output();

    // No thread can be started: the worker is missing, and the run still ends.
    {
        platform::Thread::ScopedStartFailure failure;
        EXPECT_EQ(Run({"--simulate", "--upgrade", "TPro_English.pcg"}), 1);
    }
    EXPECT_NE(Output().find("Result: upgrade failed: the upgrade worker could not be started\n"),
              std::string::npos)
        << Output();
}

TEST_F(ProgramTest, UnattendedDamagedPackageIsNeverSentAndExitsWithOne) {
    const std::string text = CUpgradeView::DamagedPackageText("TPro_English.pcg");
    for (const Damage damage :
         {Damage::Checksum, Damage::Method, Damage::RefusedMember, Damage::OverlongName,
          Damage::OverSize, Damage::SizeLie, Damage::DiskFull}) {
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
        EXPECT_NE(out.find(text), std::string::npos) << static_cast<int>(damage) << "\n" << out;
        EXPECT_EQ(LastLine(), "Result: upgrade failed: no file sent: the package is damaged");
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
    EXPECT_EQ(Output(), "simulated\t1209:0001\t-\tcan be opened\n");
    platform::FileSystem::Delete(sandbox.PackageDir() + "TPro_English.pcg");
    EXPECT_EQ(Run({"--list"}), 0);
    EXPECT_EQ(Output(), "");
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
    EXPECT_EQ(Run({"--scenario", Scenario("attach-delay 100000000\n")}), 0);

    const std::vector<QJsonObject> records = History();
    ASSERT_EQ(records.size(), 3u);
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
    bool started = false, busy = false;
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
        } else if (kestrup::UpgradeBusy()) {
            busy = true;
        } else if (busy) {
            frame->close();
        }
    });
    operatorAtTheBench.start(1);
    EXPECT_EQ(Run({"--simulate"}), 0);
    const std::vector<QJsonObject> records = History();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["package"].toString(), "TPro_Long.pcg");
    EXPECT_EQ(records[0]["result"].toString(), "failed");
    EXPECT_EQ(records[0]["reason"].toString().toStdString(),
              name + ": file name too long for the instrument (54 characters, at most 42)");
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

TEST_F(ProgramTest, ASecondInstanceLeavesTheFirstOnesStagingAloneAndExitsWithThree) {
    std::string tempDir, error;
    ASSERT_TRUE(platform::PrivateTempDir::Get(tempDir, error)) << error;
    std::filesystem::create_directories(tempDir + "test/");
    ASSERT_TRUE(platform::FileSystem::WriteAll(tempDir + "test/c.bin", "being sent"));
    {
        platform::InstanceLock first;
        bool held = false;
        ASSERT_TRUE(first.Acquire(tempDir, held));
        EXPECT_EQ(Run({"--simulate", "--upgrade", "TPro_English.pcg"}), 3);
        EXPECT_NE(Output().find("Another Talvenmark Pro Upgrade Utility is already running."),
                  std::string::npos)
            << Output();
        EXPECT_EQ(testsupport::PackageSandbox::Read(tempDir + "test/c.bin"), "being sent");
    }
    // Once the first has ended, the next one runs.
    EXPECT_EQ(Run({"--simulate", "--upgrade", "TPro_English.pcg"}), 0) << Output();
}

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
            while (kestrup::UpgradeBusy()) {
                Pump(1);
            }
            wiring->StopWorker();
        }
        app.ReleaseUi();
        wiring.reset();
    }
    // Lets the UI thread handle what arrived, for a while of program time.
    static void Pump(std::uint32_t ms) {
        QCoreApplication::processEvents();
        platform::WindowMessages::DispatchPending();
        platform::TimeFacility::Sleep(ms);
    }
    // Pumps until done() holds; false when it did not within limitMs.
    static bool PumpUntil(const std::function<bool()>& done, std::uint64_t limitMs = 600000) {
        const std::uint64_t from = platform::TimeFacility::NowMs();
        while (!done()) {
            if (platform::TimeFacility::NowMs() - from > limitMs) {
                return false;
            }
            Pump(1);
        }
        return true;
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
    Pump(0);
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{UpgradeWiring::WorkerFailureText()});
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    Pump(0);
    EXPECT_FALSE(kestrup::DetectionActive());
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(Failures(), std::vector<std::string>{"the upgrade worker could not be started"});
}

TEST_F(WiringTest, AnUpgradeThatCannotBeginTellsTheOperatorAndEndsTheAttempt) {
    Start("");
    {
        platform::Thread::ScopedStartFailure failure;
        frame->Router().Route(res::ID_UPGRADE_VIA_USB);
        Pump(0);
    }
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Test Usb Thread not started!\r\n"});
    EXPECT_EQ(Failures(), std::vector<std::string>{"device detection could not be started"});

    // The hand-off finds no worker to post to.
    platform::Thread* worker = kestrup::g_pUpgradeThread.exchange(nullptr);
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    EXPECT_TRUE(PumpUntil([this] { return Failures().size() == 2 && !kestrup::UpgradeBusy(); }));
    kestrup::g_pUpgradeThread.store(worker);
    ASSERT_EQ(boxes.Texts().size(), 2u);
    EXPECT_EQ(boxes.Texts()[1], kestrup::HandOffFailureText());
    EXPECT_EQ(Failures()[1], "no file sent: the upgrade could not be handed to the worker");
    EXPECT_EQ(simulation.Instrument()->Protocol().StartCount(), 0);
    Pump(0);
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

TEST_F(WiringTest, FromTheConnectionOnClosingAsks) {
    Start("");
    answer = false;
    // The close comes while the detection thread waits in its connection
    // notification, before the hand-off has posted anything.
    onNotification = [this](std::uint32_t message) {
        if (message == kestrup::WM_SET_MODE_USB) {
            EXPECT_FALSE(kestrup::g_bUpgradeRunPending.load());
            frame->close();
        }
    };
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    EXPECT_TRUE(PumpUntil([this] { return Seen(-16, 88) && !kestrup::UpgradeBusy(); }));
    EXPECT_EQ(questions, 1);
    EXPECT_TRUE(frame->isVisible());
}

TEST_F(WiringTest, NoSecondUpgradeWhileDetectionRunsAndClosingStopsIt) {
    Start("attach-delay 100000000\n");
    EXPECT_TRUE(UpgradeEnabled());
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    Pump(0);
    ASSERT_TRUE(kestrup::DetectionActive());
    EXPECT_EQ(Count(-16, 14), 1);
    // While it runs: the command, the double click and a rescan do nothing.
    EXPECT_FALSE(UpgradeEnabled());
    EXPECT_FALSE(NewEnabled());
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    tmpl->View()->OnDblclkPackageList(0);
    Pump(0);
    EXPECT_EQ(Count(-16, 14), 1);
    // Closing asks the detection to stop and waits for it; nothing is asked.
    Close();
    EXPECT_FALSE(frame->isVisible());
    EXPECT_EQ(questions, 0);
    ExpectEngineEnded();
    EXPECT_FALSE(Seen(-16, 15));  // it stopped; it did not give up
}

TEST_F(WiringTest, ClosingDuringARunAsksAndNoKeepsTheWindow) {
    // The application image takes ten minutes of program time to flash.
    Start("flash-time 600000\n");
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    for (int i = 0; i < 100000 && Count(-16, 13) < 2; ++i) {
        Pump(1);
    }
    ASSERT_EQ(Count(-16, 13), 2);  // the application image is being flashed
    ASSERT_TRUE(kestrup::g_bUpgradeRunPending.load());
    answer = false;
    frame->close();
    EXPECT_EQ(questions, 1);
    EXPECT_TRUE(frame->isVisible());
    EXPECT_TRUE(app.m_Channel.Device().IsOpen());
    // After the run closing asks nothing and closes the channel's device.
    for (int i = 0; i < 100000 && kestrup::UpgradeBusy(); ++i) {
        Pump(1);
    }
    EXPECT_TRUE(Seen(-16, 88));
    EXPECT_TRUE(UpgradeEnabled());
    frame->close();
    EXPECT_EQ(questions, 1);
    EXPECT_FALSE(frame->isVisible());
    EXPECT_FALSE(app.m_Channel.Device().IsOpen());
}

TEST_F(WiringTest, TheChosenPackageIsSentWhateverTheSelectionDoesMeanwhile) {
    {
        testsupport::ArchiveWriter zip(sandbox.PackageDir() + "TPro_Deutsch.pcg");
        zip.File("package.inf",
                 "[PACKAGE]\r\nDescription=Talvenmark Pro software\r\nlanguage=Deutsch\r\n")
            .File("de.bin", std::string(3000, 'd'));
        ASSERT_TRUE(zip.Close());
    }
    Start("attach-delay 12000\n");
    CUpgradeView* view = tmpl->View();
    // Listed in name order: Deutsch, then English.
    ASSERT_EQ(std::string(tmpl->Document()->GetItem(1, 0)), "English");
    view->OnClickPackageList(1);
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    Pump(0);
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

    for (int i = 0; i < 100000 && (kestrup::UpgradeBusy() || !Seen(-16, 88)); ++i) {
        Pump(1);
    }
    ASSERT_TRUE(Seen(-16, 88));
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
    for (int i = 0; i < 100000 && (kestrup::UpgradeBusy() || boxes.Texts().empty()); ++i) {
        Pump(1);
    }
    EXPECT_EQ(boxes.Texts(),
              std::vector<std::string>{CUpgradeView::DamagedPackageText("TPro_English.pcg")});
    EXPECT_EQ(simulation.Instrument()->Protocol().StartCount(), 0);
    EXPECT_TRUE(simulation.Instrument()->Protocol().Files().empty());
    EXPECT_EQ(platform::FileSystem::Exists(std::string(g_szStagingDir) + "b.boot"), false);
    // Connected as before; the command can be given again.
    EXPECT_EQ(kestrup::g_bConnected.load(), 1);
    EXPECT_TRUE(app.m_Channel.Device().IsOpen());
    Pump(0);
    EXPECT_TRUE(UpgradeEnabled());

    // A staging directory that is a link is neither emptied nor filled.
    const std::string staging = g_szStagingDir;
    std::filesystem::remove_all(staging);
    ASSERT_TRUE(testsupport::PackageSandbox::Write(sandbox.Outside() + "keep", "keep"));
    std::filesystem::create_directory_symlink(sandbox.Outside(),
                                              staging.substr(0, staging.size() - 1));
    WriteDamaged(Damage::None);
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    for (int i = 0; i < 100000 && (kestrup::UpgradeBusy() || boxes.Texts().size() < 2); ++i) {
        Pump(1);
    }
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
    ClosingTest() : WiringTest(25) {}

    // The instrument hears nothing more for a while after the close.
    void ExpectInstrumentHearsNothingMore() {
        const std::size_t heard = simulation.Instrument()->Protocol().Log().size();
        PumpUntil([] { return false; }, 500);
        EXPECT_EQ(simulation.Instrument()->Protocol().Log().size(), heard);
    }
};

TEST_F(ClosingTest, YesDuringAFlashEndsTheRunAtOnceAndSilently) {
    Start("flash-time 600000\n");
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    ASSERT_TRUE(PumpUntil([this] { return Count(-16, 13) == 1; }));  // the boot image
    answer = true;
    EXPECT_LE(Close(), kestrup::kCloseBoundMs);
    EXPECT_EQ(questions, 1);
    EXPECT_FALSE(frame->isVisible());
    ExpectEngineEnded();
    EXPECT_TRUE(boxes.Texts().empty());  // a cancelled flash wait is not a failure
    EXPECT_FALSE(Seen(-16, 88));
    EXPECT_EQ(simulation.Instrument()->Protocol().EndCount(), 0);
    ExpectInstrumentHearsNothingMore();
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
            PumpUntil([] { return kestrup::g_bConnected.load() != 0 && !kestrup::UpgradeBusy(); }));
        frame->Router().Route(res::ID_UPGRADE_VIA_USB);  // the instrument is gone
        ASSERT_TRUE(PumpUntil([] { return kestrup::DetectionActive(); }));
    }
    std::mt19937 random(static_cast<unsigned>(GetParam()));
    const std::size_t boxesBefore = boxes.Texts().size();
    PumpUntil([] { return false; }, std::uniform_int_distribution<int>(0, 12000)(random));
    EXPECT_LE(Close(), kestrup::kCloseBoundMs);
    EXPECT_FALSE(frame->isVisible());
    ExpectEngineEnded();
    EXPECT_EQ(boxes.Texts().size(), boxesBefore);
    ExpectInstrumentHearsNothingMore();
}

INSTANTIATE_TEST_SUITE_P(Moments, CloseAtAnyMomentTest, ::testing::Range(0, 6));

}  // namespace
