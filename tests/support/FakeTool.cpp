#include "support/FakeTool.h"

#include "base/Subprocess.h"
#include "platform/System.h"

#include <QFile>
#include <stdexcept>

namespace {

QString logPath(const QTemporaryDir &dir)
{
    return dir.filePath(QStringLiteral("calls.log"));
}

} // namespace

FakeTool::FakeTool(const QString &name, const QString &body)
    : m_path(m_dir.filePath(name))
{
    if (!m_dir.isValid())
        throw std::runtime_error("cannot create a folder for a fake tool");
    setBody(body);
}

void FakeTool::setBody(const QString &body)
{
    // Each argument is written as "A" + text + NUL, each call ends with "E" + NUL, so that
    // empty arguments and line breaks survive.
    const QString script = QStringLiteral("#!/bin/sh\n"
                                          "{ for a in \"$@\"; do printf 'A%s\\0' \"$a\"; done; "
                                          "printf 'E\\0'; } >> '") +
                           logPath(m_dir) + QStringLiteral("'\n") + body + QLatin1Char('\n');
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(script.toUtf8()) < 0)
        throw std::runtime_error("cannot write a fake tool");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                        QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

QList<QStringList> FakeTool::calls() const
{
    QFile file(logPath(m_dir));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QStringList> calls;
    QStringList current;
    for (const QByteArray &item : file.readAll().split('\0')) {
        if (item.startsWith('A')) {
            current.append(QString::fromUtf8(item.mid(1)));
        } else if (item == "E") {
            calls.append(current);
            current.clear();
        }
    }
    return calls;
}

QString platformCopyShell(const QString &source, const QString &destination)
{
    // Placeholders no path contains, replaced by the operands' shell text.
    const QString from = QStringLiteral("\x01"), to = QStringLiteral("\x02");
    QStringList words;
    for (QString word : platformCopyToolArguments(from, to)) {
        if (word == from || word == to) {
            words.append(word == from ? source : destination);
            continue;
        }
        word.replace(QLatin1Char('\''), QLatin1String("'\\''"));
        words.append(QLatin1Char('\'') + word + QLatin1Char('\''));
    }
    return words.join(QLatin1Char(' '));
}

bool platformCopy(const QString &source, const QString &destination)
{
    const QStringList argv = platformCopyToolArguments(source, destination);
    return Subprocess::run(argv.first(), argv.mid(1)).succeeded();
}
