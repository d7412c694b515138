// main() of a test executable that runs Qt's event loop without widgets
// (Qt sockets, QTest::qWaitFor): one QCoreApplication for the whole run,
// made before the first test and gone after the last. A source of each such
// test, not of the support library, which has no Qt.

#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
