// Test entry for suites that need Qt's event loop: timers, queued events and
// the serial port's main-thread delivery all require a running application
// object. Widgets render offscreen unless a display is chosen explicitly.
#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
