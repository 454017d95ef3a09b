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

// Shell text that copies `source` onto `destination` (both shell text: quoted words or "$1")
// with the platform's own copy tool, for tools that stand in for it: a Mac's cp has no -T.
[[nodiscard]] QString platformCopyShell(const QString &source = QStringLiteral("\"$1\""),
                                        const QString &destination = QStringLiteral("\"$2\""));
// Copies `source` onto `destination` with the platform's own copy tool.
[[nodiscard]] bool platformCopy(const QString &source, const QString &destination);
