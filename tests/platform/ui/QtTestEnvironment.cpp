// Gives every Qt test a QApplication on Qt's offscreen platform, and keeps the
// settings store in a private directory.
#include "tests/platform/ui/QtTestEnvironment.h"

#include <gtest/gtest.h>

#include <QtCore/QSettings>
#include <QtCore/QTemporaryDir>
#include <QtWidgets/QApplication>
#include <chrono>
#include <memory>

#include "tests/support/TestDeadline.h"

namespace {

class QtTestEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        config_ = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", config_->path().toLocal8Bit());
        app_ = std::make_unique<QApplication>(argc_, argv_);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config_->path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config_->path());
    }
    void TearDown() override {
        app_.reset();
        config_.reset();
    }

  private:
    int argc_ = 1;
    char name_[16] = "kestrup_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QTemporaryDir> config_;
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new QtTestEnvironment);

}  // namespace

std::unique_ptr<QTimer> LoopDeadline(const std::string& what) {
    auto timer = std::make_unique<QTimer>();
    timer->setSingleShot(true);
    QObject::connect(timer.get(), &QTimer::timeout, [what] {
        ADD_FAILURE() << "waited " << testsupport::kEventDeadline.count() << " s for " << what
                      << " in vain";
        QCoreApplication::exit(99);
    });
    timer->start(
        std::chrono::duration_cast<std::chrono::milliseconds>(testsupport::kEventDeadline));
    return timer;
}
