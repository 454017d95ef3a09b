#pragma once

#include "platform/macos/DarwinCalls.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

// The Darwin calls made through the system's frameworks (CoreFoundation, the unified log,
// Security) rather than its C library, for the real DarwinCalls alone. A file of their own
// (DarwinFrameworks_apple.cpp), so that the compile against a Mac's own C library headers,
// which come without the frameworks' (scripts/mac-headers-check), checks all the rest of the
// Darwin calls. Callable from any thread; see DarwinCalls for what each answers.
class DarwinFrameworks
{
public:
    DarwinFrameworks();
    ~DarwinFrameworks();
    DarwinFrameworks(const DarwinFrameworks &) = delete;
    DarwinFrameworks &operator=(const DarwinFrameworks &) = delete;

    [[nodiscard]] std::optional<QString> resolveBookmarkFile(const QString &path);
    [[nodiscard]] bool writeBookmarkFile(const QString &targetPath, const QString &aliasPath);
    void log(const QByteArray &subsystem, const QByteArray &category, DarwinLogType type,
             const QByteArray &message);
    [[nodiscard]] std::optional<QString> translocatedOriginal(const QString &path);

private:
    struct Logs;
    std::unique_ptr<Logs> m_logs;
};
