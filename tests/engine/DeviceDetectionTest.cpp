#include "engine/DeviceDetection.h"

#include <gtest/gtest.h>

#include <sodium.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "engine/Notifications.h"
#include "engine/UpgradeWorker.h"
#include "package/CKestrupDoc.h"
#include "package/PackageGlobals.h"
#include "platform/Event.h"
#include "platform/FileSystem.h"
#include "platform/PlainDispatcher.h"
#include "platform/ThreadMessageQueue.h"
#include "platform/TimeFacility.h"
#include "tests/support/ArchiveWriter.h"
#include "tests/support/MinisignTool.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/PackageSandbox.h"
#include "tests/support/SimulatedRig.h"
#include "tests/support/TestDeadline.h"

namespace kestrup {
namespace {

class RecordingHandOff : public UpgradeHandOff {
  public:
    HandOffResult BeginTransfer(int) override {
        ++calls;
        connectedAtHandOff = g_bConnected.load();
        return HandOffResult::Posted;
    }
    std::atomic<int> calls{0};
    std::atomic<int> connectedAtHandOff{-1};
};

// The main frame; a close may come while it handles the connection.
class Frame : public testsupport::NotificationRecorder {
  public:
    platform::LRESULT WindowProc(std::uint32_t message, platform::WPARAM wParam,
                                 platform::LPARAM lParam) override {
        if (message == WM_SET_MODE_USB && stopOnConnection != nullptr) {
            stopOnConnection->Set();
        }
        return NotificationRecorder::WindowProc(message, wParam, lParam);
    }
    platform::Event* stopOnConnection = nullptr;
};

class DeviceDetectionTest : public ::testing::Test {
  protected:
    void TearDown() override { g_bConnected.store(0); }

    // Runs a detection thread to its end while this thread delivers its
    // notifications. Returns the number of 5000 ms waits it made.
    // lookupHook: the rig's (see SimulatedRig::SetLookupHook).
    std::size_t Detect(const std::string& scenarioText, bool stopFirst = false,
                       std::function<bool(int)> lookupHook = {}) {
        sim::Scenario scenario;
        std::string error;
        EXPECT_TRUE(sim::Scenario::Parse(scenarioText, scenario, error)) << error;
        rig_ = std::make_unique<testsupport::SimulatedRig>(scenario);
        rig_->SetLookupHook(std::move(lookupHook));
        DetectionContext context{&rig_->Channel(), &stop_, &done_, &frame_, &view_, {}};
        if (stopFirst) {
            stop_.Set();
        }
        platform::TimeFacility::ScopedLog log;
        std::atomic<bool> ended{false};
        auto thread = platform::Thread::Start([&] {
            DetectThreadProc(context);
            ended = true;
            dispatcher_.Wake();
        });
        if (!testsupport::DispatchUntil(
                dispatcher_, [&] { return ended.load(); }, "the detection thread's end")) {
            stop_.Set();  // so that the join below ends
        }
        thread->Join();
        dispatcher_.WaitAndDispatch(0);
        std::size_t waits = 0;
        for (auto t : log.TimeoutsOf(thread->Id())) {
            waits += t == kDetectionWaitMs ? 1 : 0;
        }
        return waits;
    }

    platform::PlainDispatcher dispatcher_;
    Frame frame_;
    platform::Event stop_{false, false};
    platform::Event done_{false, false};
    RecordingHandOff view_;
    std::unique_ptr<testsupport::SimulatedRig> rig_;
};

using Note = testsupport::NotificationRecorder::Note;

TEST_F(DeviceDetectionTest, NoDeviceGivesUpAfterTwelvePasses) {
    platform::TimeFacility::ScopedScale fast(1);
    EXPECT_EQ(Detect("attach-delay 100000000\n"), 12u);
    EXPECT_EQ(frame_.Notes(), (std::vector<Note>{{WM_UPGRADE_PROGRESS, PROGRESS_STATUS, 15}}));
    EXPECT_EQ(g_bConnected.load(), 0);
    EXPECT_FALSE(done_.IsSignaled());
    EXPECT_EQ(view_.calls.load(), 0);
}

TEST_F(DeviceDetectionTest, AttachedInstrumentIsConnectedAndHandedOver) {
    platform::TimeFacility::ScopedScale fast(1);
    EXPECT_EQ(Detect(""), 1u);
    EXPECT_EQ(frame_.Notes(), (std::vector<Note>{{WM_SET_MODE_USB, 0, 0}}));
    EXPECT_EQ(g_bConnected.load(), 1);
    EXPECT_EQ(view_.connectedAtHandOff.load(), 1);
    EXPECT_TRUE(done_.IsSignaled());
    EXPECT_TRUE(rig_->Channel().Device().IsOpen());
    EXPECT_TRUE(rig_->Device()->IsConfigured());
    // The pipes move bytes: the instrument acknowledges the opening request.
    std::uint8_t byte = 7;
    std::uint32_t length = 1;
    EXPECT_EQ(rig_->Channel().Send(&byte, length, 1000), 0u);
    length = 1;
    EXPECT_EQ(rig_->Channel().InPipe()->ReadSync(&byte, length, 4000), 0u);
    EXPECT_EQ(byte, 4);
}

TEST_F(DeviceDetectionTest, InstrumentPluggedInLaterIsFoundOnTheNextPass) {
    // Plugged in between the sixth pass and the seventh: each pass without
    // a device looks at the attached devices once, and the first six find none.
    platform::TimeFacility::ScopedScale fast(1);
    EXPECT_EQ(Detect("", false, [](int look) { return look > 6; }), 7u);
    EXPECT_EQ(g_bConnected.load(), 1);
    EXPECT_EQ(view_.calls.load(), 1);
}

TEST_F(DeviceDetectionTest, StopRequestEndsTheThreadWithoutProbing) {
    platform::TimeFacility::ScopedScale fast(1);
    EXPECT_EQ(Detect("", true), 1u);
    EXPECT_TRUE(frame_.Notes().empty());
    EXPECT_TRUE(done_.IsSignaled());
    EXPECT_EQ(rig_->Channel().DeviceList(), 0u);
    EXPECT_EQ(view_.calls.load(), 0);
}

TEST_F(DeviceDetectionTest, StopDuringTheConnectionPreventsTheHandOff) {
    platform::TimeFacility::ScopedScale fast(1);
    frame_.stopOnConnection = &stop_;
    EXPECT_EQ(Detect(""), 1u);
    EXPECT_EQ(frame_.Notes(), (std::vector<Note>{{WM_SET_MODE_USB, 0, 0}}));
    EXPECT_EQ(view_.calls.load(), 0);
    EXPECT_FALSE(stop_.IsSignaled());  // the detection thread took it
    EXPECT_TRUE(done_.IsSignaled());
    EXPECT_FALSE(HandOffActive());
}

TEST_F(DeviceDetectionTest, ThreadThatCannotStartIsToldInAMessageBoxOnly) {
    testsupport::RecordingMessageBoxes boxes;
    testsupport::SimulatedRig rig;
    CKestrupDoc document;
    DetectionContext context{&rig.Channel(), &stop_, &done_, &frame_, &view_, {}};
    platform::Thread::ScopedStartFailure failure;
    EXPECT_EQ(StartDetection(document, 0, context), nullptr);
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Test Usb Thread not started!\r\n"});
    EXPECT_TRUE(frame_.Notes().empty());
    EXPECT_FALSE(DetectionActive());
}

// The hand-off checks the package's signature on a copy of it and unpacks
// that copy. Keys and signatures are made with the real minisign tool; every
// case runs the whole road through the simulated instrument and either
// upgrades or is refused with nothing sent.
class SignedHandOffTest : public ::testing::Test {
  protected:
    using Files = std::vector<sim::InstrumentProtocol::File>;

    void SetUp() override {
        if (!testsupport::MinisignTool::Available()) {
            GTEST_SKIP() << testsupport::MinisignTool::Missing();
        }
        ASSERT_TRUE(testsupport::MinisignTool::MakeKey(Root("maker.key"), Root("maker.pub")));
        ASSERT_TRUE(testsupport::MinisignTool::MakeKey(Root("other.key"), Root("other.pub")));
        ASSERT_TRUE(testsupport::PackageSandbox::Write(sandbox_.KeysDir() + "maker.pub",
                                                       sandbox_.Read(Root("maker.pub"))));
        WritePackage(Package(), "original");
    }
    void TearDown() override {
        g_bConnected.store(0);
        g_szStagingDir[0] = g_szPackageDir[0] = g_szPackagePath[0] = '\0';
    }

    std::string Root(const std::string& name) const { return sandbox_.Root() + name; }
    std::string Package() const { return sandbox_.PackageDir() + "TPro_English.pcg"; }
    std::string Signature() const { return Package() + ".minisig"; }

    static void WritePackage(const std::string& path, const std::string& image) {
        // Stored, so that a test can find a member's bytes in the archive.
        testsupport::ArchiveWriter zip(path, testsupport::ArchiveWriter::Compression::Store);
        zip.File("package.inf", "[PACKAGE]\nDescription=Talvenmark Pro software\nlanguage=En\n");
        zip.File("a.dat", "data of " + image).File("c.dat", std::string(9000, 'c') + image);
        ASSERT_TRUE(zip.Close());
    }
    static std::string Sent(const Files& files) {
        std::string text;
        for (const auto& f : files) {
            text += f.name + "=" + std::string(f.bytes.begin(), f.bytes.end()).substr(0, 40) + ";";
        }
        return text;
    }

    // Line `index` (from 0) of a file replaced through edit.
    void EditLine(const std::string& path, std::size_t index,
                  const std::function<void(std::string&)>& edit) {
        std::string text = sandbox_.Read(path);
        std::size_t start = 0;
        for (std::size_t i = 0; i < index; ++i) {
            start = text.find('\n', start) + 1;
        }
        std::string line = text.substr(start, text.find('\n', start) - start);
        const std::size_t length = line.size();
        edit(line);
        text.replace(start, length, line);
        ASSERT_TRUE(testsupport::PackageSandbox::Write(path, text));
    }
    // The base64 line decoded, changed and encoded again.
    void EditDecoded(const std::string& path, std::size_t index,
                     const std::function<void(std::vector<unsigned char>&)>& edit) {
        EditLine(path, index, [&](std::string& line) {
            std::vector<unsigned char> bytes(line.size());
            std::size_t length = 0;
            ASSERT_EQ(sodium_base642bin(bytes.data(), bytes.size(), line.data(), line.size(),
                                        nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL),
                      0);
            bytes.resize(length);
            edit(bytes);
            std::string encoded(
                sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
            sodium_bin2base64(encoded.data(), encoded.size(), bytes.data(), bytes.size(),
                              sodium_base64_VARIANT_ORIGINAL);
            line = encoded.c_str();
        });
    }

    // Runs an upgrade of row 0 to its end: how the detection ended and what
    // the instrument received.
    DetectionEnd Road(CKestrupDoc& document, Files& files) {
        platform::PlainDispatcher dispatcher;
        testsupport::NotificationRecorder frame;
        testsupport::SimulatedRig rig;
        auto worker = StartUpgradeWorker(&frame);
        EXPECT_NE(worker, nullptr);
        g_pUpgradeThread.store(worker.get());
        std::mutex mutex;
        std::condition_variable changed;
        bool over = false;
        bool timedOut = false;
        std::atomic<int> end{-1};
        const auto finish = [&] {
            {
                std::lock_guard lock(mutex);
                over = true;
            }
            changed.notify_all();
            dispatcher.Wake();
        };
        SetRunEndedCallback(finish);
        struct HandOff : UpgradeHandOff {
            CKestrupDoc* document;
            HandOffResult BeginTransfer(int row) override {
                return HandOffToWorker(*document, row);
            }
        } view;
        view.document = &document;
        platform::Event stop(false, false), done(false, false);
        DetectionContext context{&rig.Channel(), &stop, &done, &frame, &view, {}};
        context.ended = [&](DetectionEnd how) {
            end = static_cast<int>(how);
            if (how != DetectionEnd::HandedOver) {
                finish();
            }
        };
        // The deadline: a road that does not end fails, it does not hang.
        std::thread deadline([&] {
            std::unique_lock lock(mutex);
            if (!changed.wait_for(lock, std::chrono::seconds(60), [&] { return over; })) {
                timedOut = over = true;
                lock.unlock();
                dispatcher.Wake();
            }
        });
        auto detection = StartDetection(document, 0, context);
        EXPECT_NE(detection, nullptr);
        dispatcher.RunUntil([&] {
            std::lock_guard lock(mutex);
            return over;
        });
        stop.Set();
        detection->Join();
        deadline.join();
        SetRunEndedCallback(nullptr);
        EXPECT_TRUE(platform::ThreadMessageQueue::Post(worker->Id(), platform::WM_QUIT, 0, 0));
        worker->Join();
        g_pUpgradeThread.store(nullptr);
        EXPECT_FALSE(timedOut) << "the upgrade did not end within 60 s";
        files = rig.Protocol().Files();
        return static_cast<DetectionEnd>(end.load());
    }

    platform::TimeFacility::ScopedScale fast_{1};
    testsupport::PackageSandbox sandbox_;
};

TEST_F(SignedHandOffTest, OnlyWhatATrustedKeySignedIsSentAndEveryRefusalSendsNothing) {
    using testsupport::MinisignTool;
    const std::string notSigned = "is not signed";
    const std::string doesNotVerify = "has a signature that does not verify";
    const std::string notTrusted = "is signed by a key that is not trusted";
    struct Case {
        const char* what;
        std::function<void()> prepare;
        std::string refusal;  // empty: the package is sent
    };
    const auto sign = [&](bool legacy) {
        ASSERT_TRUE(MinisignTool::Sign(Root("maker.key"), Package(), "release 7.0.5", legacy));
    };
    const auto requireSignatures = [&] {
        ASSERT_TRUE(testsupport::PackageSandbox::Write(sandbox_.SystemDir() + "kestrup.conf",
                                                       "[Packages]\nRequireSignature=yes\n"));
    };
    const auto alterPackageByte = [&] {
        std::string bytes = sandbox_.Read(Package());
        const std::size_t at = bytes.find("data of original");
        ASSERT_NE(at, std::string::npos);
        bytes[at] ^= 0x20;
        ASSERT_TRUE(testsupport::PackageSandbox::Write(Package(), bytes));
    };
    const std::vector<Case> cases{
        {"prehashed (ED) signature by a trusted key", [&] { sign(false); }, ""},
        {"legacy (Ed) signature by a trusted key", [&] { sign(true); }, ""},
        {"signed, the policy on, the key in the system's directory",
         [&] {
             sign(false);
             requireSignatures();
             platform::FileSystem::Delete(sandbox_.KeysDir() + "maker.pub");
             ASSERT_TRUE(
                 testsupport::PackageSandbox::Write(sandbox_.SystemDir() + "trusted-keys/maker.pub",
                                                    sandbox_.Read(Root("maker.pub"))));
         },
         ""},
        {"unsigned, the policy off", [] {}, ""},
        {"unsigned, the policy on", requireSignatures, notSigned},
        {"an altered package byte (ED)",
         [&] {
             sign(false);
             alterPackageByte();
         },
         doesNotVerify},
        {"an altered package byte (Ed)",
         [&] {
             sign(true);
             alterPackageByte();
         },
         doesNotVerify},
        {"an altered trusted comment",
         [&] {
             sign(false);
             EditLine(Signature(), 2, [](std::string& line) { line.back() = '6'; });
         },
         doesNotVerify},
        {"a signature by a key that is not trusted",
         [&] { ASSERT_TRUE(MinisignTool::Sign(Root("other.key"), Package(), "release 7.0.5")); },
         notTrusted},
        {"a truncated signature file",
         [&] {
             sign(false);
             const std::string text = sandbox_.Read(Signature());
             ASSERT_TRUE(
                 testsupport::PackageSandbox::Write(Signature(), text.substr(0, text.size() / 2)));
         },
         doesNotVerify},
        {"a garbled signature (other signature bytes)",
         [&] {
             sign(false);
             EditDecoded(Signature(), 1, [](std::vector<unsigned char>& b) { b[40] ^= 1; });
         },
         doesNotVerify},
        {"a key file with a wrong id",
         [&] {
             sign(false);
             EditDecoded(sandbox_.KeysDir() + "maker.pub", 1,
                         [](std::vector<unsigned char>& b) { b[2] ^= 0xFF; });
         },
         notTrusted},
        {"a signature file that is a directory",
         [&] { std::filesystem::create_directories(Signature()); }, doesNotVerify},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(Signature());
        std::filesystem::remove_all(sandbox_.SystemDir());
        ASSERT_TRUE(testsupport::PackageSandbox::Write(sandbox_.KeysDir() + "maker.pub",
                                                       sandbox_.Read(Root("maker.pub"))));
        WritePackage(Package(), "original");
        c.prepare();
        if (HasFatalFailure()) {
            return;
        }
        CKestrupDoc document;
        std::vector<std::string> problems;
        document.Trust().SetProblemSink([&](const std::string& p) { problems.push_back(p); });
        document.ScanPackages(sandbox_.Executable().c_str());
        ASSERT_EQ(document.m_nPackageCount, 1);
        Files files;
        const DetectionEnd end = Road(document, files);
        const SignatureCheck check = document.LastCheck();
        if (c.refusal.empty()) {
            EXPECT_EQ(end, DetectionEnd::HandedOver);
            EXPECT_TRUE(check.Usable()) << check.Summary();
            EXPECT_EQ(Sent(files).rfind("a.dat=data of original;c.dat=cccc", 0), 0u) << Sent(files);
            EXPECT_EQ(files.size(), 2u);
        } else {
            EXPECT_EQ(end, DetectionEnd::PackageRefused);
            EXPECT_EQ(check.RefusalPhrase(), c.refusal) << check.Summary();
            EXPECT_EQ(Sent(files), "") << "nothing may reach the instrument";
            EXPECT_EQ(testsupport::PackageSandbox::Names(sandbox_.StagingDir()), "")
                << "a refused package is never unpacked";
        }
        // Verified exactly when minisign itself verifies the package with the
        // key file the program trusts.
        std::string keyFile = sandbox_.KeysDir() + "maker.pub";
        if (!platform::FileSystem::Exists(keyFile)) {
            keyFile = sandbox_.SystemDir() + "trusted-keys/maker.pub";
        }
        EXPECT_EQ(check.state == SignatureCheck::State::Verified,
                  MinisignTool::Verify(keyFile, Package()));
        EXPECT_EQ(check.trustedComment,
                  check.state == SignatureCheck::State::Verified ? "release 7.0.5" : "");
        // Nothing of the checked copy stays behind.
        EXPECT_FALSE(platform::FileSystem::Exists(sandbox_.TempDir() + "checked.pcg"));
    }
}

// What is checked is a copy: a package (and its signature) replaced in the
// package directory after the check is not what the instrument receives.
TEST_F(SignedHandOffTest, APackageReplacedAfterTheCheckDoesNotChangeWhatIsSent) {
    using testsupport::MinisignTool;
    ASSERT_TRUE(MinisignTool::Sign(Root("maker.key"), Package(), "release 7.0.5"));
    CKestrupDoc document;
    document.ScanPackages(sandbox_.Executable().c_str());
    ASSERT_EQ(document.m_nPackageCount, 1);
    int checks = 0;
    document.SetCheckObserver([&](const SignatureCheck&) {
        ++checks;
        WritePackage(Package(), "replaced");
        std::filesystem::remove(Signature());
    });
    Files files;
    EXPECT_EQ(Road(document, files), DetectionEnd::HandedOver);
    EXPECT_EQ(checks, 1);
    EXPECT_EQ(Sent(files).rfind("a.dat=data of original;c.dat=cccc", 0), 0u) << Sent(files);
    EXPECT_EQ(files.size(), 2u);
    EXPECT_EQ(document.LastCheck().state, SignatureCheck::State::Verified);
}

}  // namespace
}  // namespace kestrup
