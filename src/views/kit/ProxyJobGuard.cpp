#include "views/kit/ProxyJobGuard.h"

#include <QCoreApplication>
#include <QMetaObject>

ProxyJobGuard::Lease::Lease(Lease &&other) noexcept
    : m_guard(other.m_guard)
{
    other.m_guard = nullptr;
}

ProxyJobGuard::Lease &ProxyJobGuard::Lease::operator=(Lease &&other) noexcept
{
    if (this != &other) {
        release();
        m_guard = other.m_guard;
        other.m_guard = nullptr;
    }
    return *this;
}

ProxyJobGuard::Lease::~Lease()
{
    release();
}

void ProxyJobGuard::Lease::release()
{
    if (m_guard)
        m_guard->release();
    m_guard = nullptr;
}

ProxyJobGuard &ProxyJobGuard::shared()
{
    // Lives as long as the process; never deleted, so a lease outliving the window is safe.
    static ProxyJobGuard *guard = [] {
        auto *created = new ProxyJobGuard;
        if (QCoreApplication::instance())
            created->moveToThread(QCoreApplication::instance()->thread());
        return created;
    }();
    return *guard;
}

std::optional<ProxyJobGuard::Lease> ProxyJobGuard::tryAcquire()
{
    bool expected = false;
    if (!m_busy.compare_exchange_strong(expected, true))
        return std::nullopt;
    QMetaObject::invokeMethod(
        this, [this] { emit busyChanged(true); }, Qt::QueuedConnection);
    return Lease(this);
}

void ProxyJobGuard::release()
{
    m_busy.store(false);
    QMetaObject::invokeMethod(
        this, [this] { emit busyChanged(false); }, Qt::QueuedConnection);
}

QString ProxyJobGuard::refusalNotice()
{
    return QStringLiteral("Cannot start now: another App Proxy job is still running. Try again "
                          "when it has finished.");
}
