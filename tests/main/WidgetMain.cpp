#include <QApplication>
#include <QTemporaryFile>
#include <gtest/gtest.h>

namespace {

// The offscreen platform's own screen (800 × 800, where every window opens unless told
// otherwise), then screens of common sizes beside it, named by their size, for the tests that
// open a window on a given screen.
constexpr char offscreenScreens[] = R"({"screens": [
    {"name": "", "x": 0, "y": 0, "width": 800, "height": 800},
    {"name": "1280x800", "x": 800, "y": 0, "width": 1280, "height": 800},
    {"name": "1440x900", "x": 2080, "y": 0, "width": 1440, "height": 900},
    {"name": "2560x1440", "x": 3520, "y": 0, "width": 2560, "height": 1440}
]})";

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The platform reads its screens when the application starts; the file may go after that,
    // and programs the tests start see the platform as it was given.
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    QTemporaryFile screens;
    if (platform == "offscreen" && screens.open() &&
        screens.write(offscreenScreens) == qint64(sizeof offscreenScreens - 1) && screens.flush())
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(screens.fileName()));
    QApplication app(argc, argv);
    qputenv("QT_QPA_PLATFORM", platform);
    screens.remove();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
