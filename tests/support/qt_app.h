#pragma once
// One QApplication for a widget test executable, created before the first
// test and destroyed after the last one, while main() still runs: a
// QApplication torn down by the exit handlers crashes inside Qt.
// Header-only, so that only Qt tests (gui_*) depend on Qt.

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

namespace vorn::test {

class QtAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override { app_ = std::make_unique<QApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[16] = "vorn_gui_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

// Registers the environment once per executable (include from one test
// file only).
inline ::testing::Environment* const kQtAppEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

}  // namespace vorn::test
