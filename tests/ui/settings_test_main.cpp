// The settings dialog's tests need a widgets application on a real X server
// (the suite runs under xvfb-run), so GoogleTest gets its own main.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
