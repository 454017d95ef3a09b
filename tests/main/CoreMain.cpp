#include <QCoreApplication>
#include <gtest/gtest.h>

// Services publish through the event loop, so every test runs inside an application object.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
