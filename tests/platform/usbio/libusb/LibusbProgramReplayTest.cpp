// The whole program on the libusb back end: an unattended upgrade recorded
// on the simulated instrument (--simulate --capture) is replayed by umockdev
// to the program started with --usb-id, which must find the instrument,
// configure it, bind its pipes and complete the same upgrade. Runs under
// umockdev's preload and skips without it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Program.h"
#include "engine/UpgradeWorker.h"
#include "package/PackageGlobals.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "sim/Scenario.h"
#include "tests/support/ArchiveWriter.h"
#include "tests/support/PackageSandbox.h"
#include "tests/support/TestDeadline.h"
#include "tests/support/UmockdevKernel.h"
#include "tests/support/UmockdevTestbed.h"
#include "tests/support/UsbmonRecords.h"

namespace {

// The test bed's files under a directory of the suite's (GLib reads TMPDIR
// once per process).
class SuiteTmpDir : public ::testing::Environment {
  public:
    void SetUp() override {
        char tmpl[] = "/tmp/kestrup-umockdev-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ::setenv("TMPDIR", dir_.c_str(), 1);
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0); }

  private:
    std::string dir_;
};

[[maybe_unused]] ::testing::Environment* const g_suiteTmpDir =
    ::testing::AddGlobalTestEnvironment(new SuiteTmpDir);

// The simulated instrument's descriptors (1209:0001, configuration 1 with
// bulk IN 0x81 and bulk OUT 0x01 on interface 0).
const std::vector<std::uint8_t> kDescriptors = {
    0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x09, 0x12, 0x01, 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x01, 0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80,
    0x32, 0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00, 0x07, 0x05, 0x81,
    0x02, 0x00, 0x02, 0x00, 0x07, 0x05, 0x01, 0x02, 0x00, 0x02, 0x00};

class LibusbProgramReplayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testbed_ = std::make_unique<testsupport::UmockdevTestbed>();
        if (!testsupport::UmockdevTestbed::Active()) {
            GTEST_SKIP() << "not running under umockdev's preload (umockdev-wrapper)";
        }
        testsupport::ArchiveWriter zip(sandbox_.PackageDir() + "TPro_English.pcg");
        zip.File("package.inf",
                 "[PACKAGE]\r\nDescription=Talvenmark Pro software\r\nlanguage=English\r\n");
        zip.File("a.dat", std::string(20000, 'a'))
            .File("b.boot", std::string(9000, 'b'))
            .File("c.bin", std::string(30000, 'c'));
        ASSERT_TRUE(zip.Close());
    }
    void TearDown() override {
        kestrup::g_bConnected.store(0);
        testbed_.reset();
    }

    // Runs the program unattended; returns its exit status, output in out.
    int Run(const QStringList& arguments, std::string& out) {
        kestrup::g_bConnected.store(0);
        g_szPackageDir[0] = g_szStagingDir[0] = g_szPackagePath[0] = '\0';
        std::FILE* file = std::tmpfile();
        Program::Settings settings;
        settings.executablePath = sandbox_.Executable();
        settings.out = file;
        settings.err = file;
        settings.stopWorkerAtEnd = true;
        settings.historyPath = sandbox_.Root() + "history.jsonl";
        if (otherUser_) {
            ::setfsuid(65534);  // this thread's file access only
        }
        const int status = Program::Run(QStringList{"kestrup"} + arguments, settings);
        if (otherUser_) {
            ::setfsuid(0);
        }
        std::rewind(file);
        out.clear();
        char buffer[4096];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, file)) {
            out.append(buffer, n);
        }
        std::fclose(file);
        return status;
    }

    // The lines that tell the road of the upgrade.
    static std::vector<std::string> Road(const std::string& out) {
        std::vector<std::string> lines;
        std::size_t at = 0;
        while (at < out.size()) {
            const std::size_t end = out.find('\n', at);
            const std::string line =
                out.substr(at, end == std::string::npos ? std::string::npos : end - at);
            // Warnings differ between the runs, and the window's thread
            // reports detection as it starts it, which at a fast time scale
            // can come after the connection.
            if (line.rfind("kestrup:", 0) != 0 && line.rfind("Status: Detecting", 0) != 0) {
                lines.push_back(line);
            }
            at = end == std::string::npos ? out.size() : end + 1;
        }
        return lines;
    }

    testsupport::PackageSandbox sandbox_;
    std::unique_ptr<testsupport::UmockdevTestbed> testbed_;
    // Root may open any file: Run then looks as another user.
    bool otherUser_ = false;
};

TEST_F(LibusbProgramReplayTest, UpgradeRecordedWithTheSimulatorCompletesThroughLibusb) {
    const std::string recorded = sandbox_.Root() + "recorded.pcap";
    std::string simulated;
    {
        platform::TimeFacility::ScopedScale fast(1);
        ASSERT_EQ(Run({"--simulate", "--capture", QString::fromStdString(recorded), "--upgrade",
                       "TPro_English.pcg"},
                      simulated),
                  0)
            << simulated;
    }

    // The capture as it is: only what went over the bus, which a replay
    // takes whole (the standard requests it passes over).
    const auto records = testsupport::usbmon::Parse(testsupport::usbmon::ReadAll(recorded));
    ASSERT_FALSE(records.empty());
    const std::uint8_t address = records[0].device;
    std::string error;
    ASSERT_TRUE(testbed_->LoadPcap(testbed_->AddUsbDevice(address, kDescriptors, 1, "TP-77"),
                                   recorded, error))
        << error;

    // The replay answers at once; the waits get room for a loaded machine.
    platform::TimeFacility::ScopedScale slower(200);
    std::string real;
    ASSERT_EQ(Run({"--usb-id", "1209:0001", "--upgrade", "TPro_English.pcg"}, real), 0) << real;
    EXPECT_EQ(Road(real), Road(simulated)) << real;
    // The history knows the instrument by its pair and serial number.
    std::string history;
    ASSERT_TRUE(platform::FileSystem::ReadAll(sandbox_.Root() + "history.jsonl", history));
    history.pop_back();
    const std::string last = history.substr(history.rfind('\n') + 1);
    EXPECT_NE(last.find(R"("instrument":"1209:0001")"), std::string::npos) << last;
    EXPECT_NE(last.find(R"("serial":"TP-77")"), std::string::npos) << last;
    EXPECT_NE(last.find(R"("result":"succeeded")"), std::string::npos) << last;
}

// The devices (bus addresses) a capture's records name, in order of first
// appearance, with their record counts; bulk records only, or all.
std::vector<std::pair<int, int>> CapturedDevices(const std::string& pcap, bool bulkOnly = false) {
    std::vector<std::pair<int, int>> devices;
    for (const auto& p : testsupport::usbmon::Parse(testsupport::usbmon::ReadAll(pcap))) {
        if (bulkOnly && p.transferType != 3) {
            continue;
        }
        auto it = std::find_if(devices.begin(), devices.end(),
                               [&](const auto& d) { return d.first == p.device; });
        if (it == devices.end()) {
            devices.emplace_back(p.device, 1);
        } else {
            ++it->second;
        }
    }
    return devices;
}

// Two instruments on one bus, the first in line a decoy that answers
// nothing: bound to the other by its port path, the upgrade goes to that one
// alone (no request or transfer of the session names the decoy) and the
// history records its port and serial number. Then another copy holds the
// instrument (its device node's lock): the run passes it over and sends
// nothing.
TEST_F(LibusbProgramReplayTest, ABoundRunTalksToItsInstrumentAloneAndPassesOverOneHeldElsewhere) {
    const std::string recorded = sandbox_.Root() + "recorded.pcap";
    std::string out;
    {
        platform::TimeFacility::ScopedScale fast(1);
        ASSERT_EQ(Run({"--simulate", "--capture", QString::fromStdString(recorded), "--upgrade",
                       "TPro_English.pcg"},
                      out),
                  0)
            << out;
    }
    // The capture as it is names the simulated instrument's address.
    const auto records = testsupport::usbmon::Parse(testsupport::usbmon::ReadAll(recorded));
    ASSERT_FALSE(records.empty());
    const std::uint8_t address = records[0].device;
    std::string error;
    const std::uint8_t decoy = address == 9 ? 10 : 9;
    testbed_->AddUsbDevice(decoy, kDescriptors, 1, "TP-DECOY");                          // port 1-1
    const std::string sysfs = testbed_->AddUsbDevice(address, kDescriptors, 1, "TP-2");  // 1-2
    ASSERT_TRUE(testbed_->LoadPcap(sysfs, recorded, error)) << error;

    const std::string session = sandbox_.Root() + "session.pcap";
    const std::size_t threadsBefore = platform::Thread::Running();
    {
        platform::TimeFacility::ScopedScale slower(200);
        ASSERT_EQ(Run({"--usb-id", "1209:0001", "--instrument", "1-2", "--capture",
                       QString::fromStdString(session), "--upgrade", "TPro_English.pcg"},
                      out),
                  0)
            << out;
    }
    // The run's libusb threads have ended with it, its close among them.
    EXPECT_EQ(platform::Thread::Running(), threadsBefore);
    const auto devices = CapturedDevices(session);
    ASSERT_EQ(devices.size(), 1u) << out;
    EXPECT_EQ(devices[0].first, address);
    EXPECT_GT(devices[0].second, 20);
    std::string history;
    ASSERT_TRUE(platform::FileSystem::ReadAll(sandbox_.Root() + "history.jsonl", history));
    EXPECT_NE(history.find(R"("port":"1-2")"), std::string::npos) << history;
    EXPECT_NE(history.find(R"("serial":"TP-2")"), std::string::npos) << history;
    EXPECT_NE(history.find(R"("bound":"1-2")"), std::string::npos) << history;

    // Another copy of the program has the instrument open: its node is
    // locked, and the run says so.
    const int held = ::open(testbed_->NodePath(address).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    // The run above may still be closing its last handle on the libusb
    // worker, which keeps the lock until it is done (in a process of its
    // own, that is the end of the process).
    ASSERT_TRUE(testsupport::AwaitCondition([&] { return ::flock(held, LOCK_EX | LOCK_NB) == 0; },
                                            "the end of the earlier run's close"));
    const std::string said = sandbox_.Root() + "stderr";
    {
        platform::TimeFacility::ScopedScale fast(5);
        const int errFd = ::dup(2);
        const int file = ::open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(file, 2);
        EXPECT_EQ(Run({"--usb-id", "1209:0001", "--instrument", "TP-2", "--capture",
                       QString::fromStdString(session), "--upgrade", "TPro_English.pcg"},
                      out),
                  1);
        ::dup2(errFd, 2);
        ::close(errFd);
        ::close(file);
    }
    ::close(held);
    std::string text;
    platform::FileSystem::ReadAll(said, text);
    EXPECT_NE(text.find("kestrup: the instrument at 1-2 (/dev/bus/usb/001/"), std::string::npos)
        << text;
    EXPECT_NE(out.find("Result: upgrade failed: instrument not found"), std::string::npos) << out;
    EXPECT_TRUE(CapturedDevices(session, true).empty());
}

// --list-instruments on two instruments, one of which this user may not
// open: each with its bus, device number, pair and serial number (outside
// text, escaped like every name the program prints), and for the one
// refused, who may open it and how this user can: the rule, then the local
// seat or the group.
TEST_F(LibusbProgramReplayTest, ListInstrumentsTellsWhichOneCannotBeOpenedAndTheFix) {
    testbed_->AddUsbDevice(4, kDescriptors, 1, "TP\x1b]0;T\x07\t4");
    testbed_->AddUsbDevice(5, kDescriptors, 1);
    ASSERT_EQ(::chmod(testbed_->NodePath(4).c_str(), 0666), 0);
    ASSERT_EQ(::chmod(testbed_->NodePath(5).c_str(), 0), 0);
    // As root no file is closed: look as another user, who may still walk
    // the test bed.
    if (::geteuid() == 0) {
        otherUser_ = true;
        ASSERT_TRUE(testbed_->OpenToOtherUsers());
    }
    std::string out;
    const int status = Run({"--list-instruments", "--usb-id", "1209:0001"}, out);
    EXPECT_EQ(status, 0) << out;
    const std::string usable = "001:004\t1-1\t1209:0001\tTP\\x1B]0;T\\x07\\t4\tcan be opened\n";
    // Who may open it and the two ways for this user (the rules for this
    // device are not in effect here: its node belongs to root).
    const std::string refused =
        "001:005\t1-2\t1209:0001\t-\tcannot be opened: this user has no permission for "
        "/dev/bus/usb/001/005: the instrument rules do not cover it (group root, mode 0000); add "
        "its rule and reload the rules:\n"
        "  echo 'SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"1209\", "
        "ATTR{idProduct}==\"0001\", GROUP=\"kestrup\", MODE=\"0660\", TAG+=\"uaccess\"' | sudo tee "
        "-a "
        "/etc/udev/rules.d/71-kestrup-local.rules\n"
        "  sudo udevadm control --reload && sudo udevadm trigger --subsystem-match=usb "
        "--action=change\n"
        "then the user at the local seat and the members of the group kestrup may open it; "
        "either\n"
        "  run kestrup in a session at the local seat, or\n"
        "  add this user to the group kestrup: sudo usermod -aG kestrup ";
    EXPECT_NE(out.find(usable + refused), std::string::npos) << out;

    ASSERT_EQ(::chmod(testbed_->NodePath(4).c_str(), 0), 0);

    // The one that could be used is closed too: nothing can be used.
    EXPECT_EQ(Run({"--list-instruments", "--usb-id", "1209:0001"}, out), 1) << out;
    EXPECT_NE(out.find("001:004\t1-1\t1209:0001\tTP\\x1B]0;T\\x07\\t4\tcannot be opened"),
              std::string::npos)
        << out;
    // No listed device at all.
    EXPECT_EQ(Run({"--list-instruments", "--usb-id", "1209:0002"}, out), 1) << out;
    EXPECT_NE(out.find("no instrument found (listed pairs: 1209:0002)\n"), std::string::npos)
        << out;
}

// The whole program on an instrument behind the emulated kernel, against the
// same scenario on the simulator: the road of the upgrade is the same, in
// 64-byte packets, across a stall that the kernel keeps until the program
// clears it, and with the instrument vanishing in the middle of a transfer
// (its transfers end, every later call fails with ENODEV).
TEST_F(LibusbProgramReplayTest, UpgradeThroughTheEmulatedKernelTakesTheSimulatorsRoad) {
    struct Case {
        const char* scenario;
        const char* call;  // what the kernel must have seen
    };
    std::uint8_t address = 10;
    for (const Case& c : {Case{"packet-size 64\n", "SETINTERFACE 0 0"},
                          Case{"partial c.bin 2 1000\n", "CLEAR_HALT 0x01"},
                          Case{"vanish c.bin 1\n", "DISCONNECT"}}) {
        SCOPED_TRACE(c.scenario);
        const std::string scenarioPath = sandbox_.Root() + "scenario.txt";
        ASSERT_TRUE(platform::FileSystem::WriteAll(scenarioPath, c.scenario));
        std::string simulated;
        int simulatedStatus = 0;
        {
            platform::TimeFacility::ScopedScale fast(1);
            simulatedStatus = Run({"--simulate", "--scenario", QString::fromStdString(scenarioPath),
                                   "--upgrade", "TPro_English.pcg"},
                                  simulated);
        }
        sim::Scenario scenario;
        std::string error;
        ASSERT_TRUE(sim::Scenario::Parse(c.scenario, scenario, error)) << error;
        testsupport::UmockdevKernel kernel(*testbed_, address++, scenario);
        platform::TimeFacility::ScopedScale slower(200);
        std::string real;
        EXPECT_EQ(Run({"--usb-id", "1209:0001", "--upgrade", "TPro_English.pcg"}, real),
                  simulatedStatus)
            << real;
        EXPECT_EQ(Road(real), Road(simulated)) << real;
        const auto calls = kernel.Calls();
        EXPECT_NE(std::find(calls.begin(), calls.end(), c.call), calls.end());
        EXPECT_EQ(
            std::count_if(calls.begin(), calls.end(),
                          [](const std::string& call) { return call.rfind("EPIPE", 0) == 0; }),
            0);
    }
}

// The instrument leaves as the program first opens it and comes back at
// another address while detection goes on: detection finds it there and the
// upgrade completes on it.
TEST_F(LibusbProgramReplayTest, InstrumentThatReturnsAtANewAddressIsFoundThere) {
    testsupport::UmockdevKernel first(*testbed_, 30);
    testsupport::UmockdevKernel returned(*testbed_, 31, {}, 1, false);
    first.OnFirstCall([&] {
        first.Vanish();
        returned.Plug();
    });
    platform::TimeFacility::ScopedScale slower(200);
    std::string out;
    EXPECT_EQ(Run({"--usb-id", "1209:0001", "--upgrade", "TPro_English.pcg"}, out), 0) << out;
    EXPECT_NE(out.find("Result: upgrade succeeded"), std::string::npos) << out;
    EXPECT_EQ(first.Protocol().StartCount(), 0);
    ASSERT_EQ(returned.Protocol().Files().size(), 3u);
    EXPECT_TRUE(returned.Protocol().Files().back().complete);
}

}  // namespace
