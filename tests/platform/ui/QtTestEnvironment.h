#pragma once

#include <QtCore/QTimer>
#include <memory>
#include <string>

// A deadline for a test's run of Qt's event loop: when the loop is still
// running after testsupport::kEventDeadline, the test fails naming `what`
// and the loop ends with 99. Destroying the timer disarms it.
std::unique_ptr<QTimer> LoopDeadline(const std::string& what);
