#pragma once

#include "platform/BundleServices.h"
#include "platform/macos/MacBundleServices.h"

#include <QHash>
#include <QList>
#include <QStringList>
#include <functional>
#include <mutex>

// Bundle services that record every request and touch nothing. The program carries the
// resources a test gives it (the Sandbox gives it a stand-in proxy launcher); the launcher
// compiler is the Mac's command line with a program the test chooses, by default one that
// cannot be started.
class FakeBundleServices : public BundleServices
{
public:
    struct Call
    {
        QString operation; // "signAdHoc", "registerApplication" or "setComment"
        QStringList arguments;
        friend bool operator==(const Call &, const Call &) = default;
    };

    void signAdHoc(const QString &bundlePath) override
    {
        record({QStringLiteral("signAdHoc"), {bundlePath}});
    }
    void registerApplication(const QString &bundlePath) override
    {
        record({QStringLiteral("registerApplication"), {bundlePath}});
        std::function<void(const QString &)> hook;
        {
            const std::lock_guard lock(m_mutex);
            hook = m_onRegister;
        }
        if (hook)
            hook(bundlePath);
    }
    // Runs after each registration is recorded, on the registering thread.
    void setOnRegister(std::function<void(const QString &)> hook)
    {
        const std::lock_guard lock(m_mutex);
        m_onRegister = std::move(hook);
    }
    void setComment(const QString &path, const QString &comment) override
    {
        record({QStringLiteral("setComment"), {path, comment}});
    }
    QByteArray iconPng(const QString &) override
    {
        const std::lock_guard lock(m_mutex);
        return m_iconPng;
    }
    std::optional<QString> programResource(const QString &name) override
    {
        const std::lock_guard lock(m_mutex);
        const auto found = m_resources.constFind(name);
        if (found == m_resources.constEnd())
            return std::nullopt;
        return *found;
    }
    QString programBundlePath() override
    {
        const std::lock_guard lock(m_mutex);
        return m_bundlePath;
    }
    ToolCommand launcherCompileCommand(const QString &sourcePath,
                                       const QString &outputPath) override
    {
        ToolCommand command = MacBundleServices::compileCommand(sourcePath, outputPath);
        const std::lock_guard lock(m_mutex);
        command.program = m_compiler;
        return command;
    }

    void setIconPng(QByteArray png)
    {
        const std::lock_guard lock(m_mutex);
        m_iconPng = std::move(png);
    }
    // Nothing takes the resource away.
    void setProgramResource(const QString &name, std::optional<QString> path)
    {
        const std::lock_guard lock(m_mutex);
        if (path)
            m_resources.insert(name, *path);
        else
            m_resources.remove(name);
    }
    void setProgramBundlePath(QString path)
    {
        const std::lock_guard lock(m_mutex);
        m_bundlePath = std::move(path);
    }
    void setCompiler(QString program)
    {
        const std::lock_guard lock(m_mutex);
        m_compiler = std::move(program);
    }
    [[nodiscard]] QList<Call> calls() const
    {
        const std::lock_guard lock(m_mutex);
        return m_calls;
    }
    void clearCalls()
    {
        const std::lock_guard lock(m_mutex);
        m_calls.clear();
    }

private:
    void record(Call call)
    {
        const std::lock_guard lock(m_mutex);
        m_calls.append(std::move(call));
    }

    mutable std::mutex m_mutex;
    QList<Call> m_calls;
    QByteArray m_iconPng;
    QHash<QString, QString> m_resources;
    QString m_bundlePath;
    QString m_compiler = QStringLiteral("/nonexistent/launcher-compiler");
    std::function<void(const QString &)> m_onRegister;
};
