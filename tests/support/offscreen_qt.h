// Tests whose widgets live on Qt's off-screen platform (no display needed): one application for
// the suite, made when the suite starts and removed when it ends.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>

namespace testsupport {

class OffscreenQtTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static char name[] = "quillon-qt-test";
        static char* argv[] = {name, nullptr};
        static int argc = 1;
        if (!QApplication::instance()) app_ = new QApplication(argc, argv);
    }
    static void TearDownTestSuite() {
        delete app_;
        app_ = nullptr;
    }

private:
    static inline QApplication* app_ = nullptr;
};

}  // namespace testsupport
