#pragma once

#include <QList>
#include <QStringList>
#include <QTemporaryDir>

// A stand-in for an external program: a shell script in a folder of its own that records
// the arguments of every call and then runs `body`, shell text in which "$@" are the
// call's arguments ("echo done; exit 3", "sleep 30", "exec \"$@\"" ...).
class FakeTool
{
public:
    explicit FakeTool(const QString &name = QStringLiteral("tool"), const QString &body = {});

    [[nodiscard]] QString path() const { return m_path; }
    void setBody(const QString &body);
    // The arguments of each call so far, oldest first.
    [[nodiscard]] QList<QStringList> calls() const;

private:
    QTemporaryDir m_dir;
    QString m_path;
};
