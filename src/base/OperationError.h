#pragma once

#include <QException>
#include <QString>
#include <exception>

// The one error type of every failing operation. Derives from QException so that it
// survives the trip through a QFuture.
class OperationError : public QException
{
public:
    OperationError(QString domain, int code, QString message);

    [[nodiscard]] const QString &domain() const { return m_domain; }
    [[nodiscard]] int code() const { return m_code; }
    [[nodiscard]] const QString &message() const { return m_message; }

    const char *what() const noexcept override;
    void raise() const override;
    OperationError *clone() const override;

    // An error passed through from the file system: errno and a message naming the path.
    static OperationError fileSystem(int err, const QString &message);
    // An error passed through from an external process.
    static OperationError process(int code, const QString &message);
    // What a person reads of an error of any type that ended an operation: an OperationError's
    // message, else the exception's own text.
    static QString messageOf(const std::exception_ptr &error);

private:
    QString m_domain;
    int m_code;
    QString m_message;
    QByteArray m_what;
};
