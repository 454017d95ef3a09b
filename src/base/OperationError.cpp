#include "base/OperationError.h"

OperationError::OperationError(QString domain, int code, QString message)
    : m_domain(std::move(domain))
    , m_code(code)
    , m_message(std::move(message))
    , m_what(m_message.toUtf8())
{}

const char *OperationError::what() const noexcept
{
    return m_what.constData();
}

void OperationError::raise() const
{
    throw *this;
}

OperationError *OperationError::clone() const
{
    return new OperationError(*this);
}

OperationError OperationError::fileSystem(int err, const QString &message)
{
    return OperationError(QStringLiteral("FileSystem"), err, message);
}

OperationError OperationError::process(int code, const QString &message)
{
    return OperationError(QStringLiteral("Process"), code, message);
}

QString OperationError::messageOf(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const OperationError &operationError) {
        return operationError.message();
    } catch (const std::exception &other) {
        return QStringLiteral("The operation stopped on an unexpected error: ") +
               QString::fromLocal8Bit(other.what());
    } catch (...) {
        return QStringLiteral("The operation stopped on an unexpected error.");
    }
}
