#include "platform/linux/LinuxBundleServices.h"

#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/xattr.h>

TEST(LinuxBundleServicesTest, CommentIsTheXdgAttributeWhereTheFileSystemKeepsOne)
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.path());
    if (::setxattr(path.constData(), "user.probe", "1", 1, 0) != 0)
        GTEST_SKIP() << "no user attributes here (errno " << errno << ")";
    LinuxBundleServices services;
    const QString comment = QStringLiteral("Korvanthelix Proxy -> Stored on Dr\u00efve: /x \"y\"");
    services.setComment(dir.path(), comment);
    char value[256] = {};
    const ssize_t length = ::getxattr(path.constData(), "user.xdg.comment", value, sizeof value);
    ASSERT_GT(length, 0);
    EXPECT_EQ(QString::fromUtf8(value, length), comment);
}
