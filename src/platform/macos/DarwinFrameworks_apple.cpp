// The Darwin calls that go through the system's frameworks. Built only for Apple systems.

#include "platform/macos/DarwinFrameworks.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <mutex>
#include <type_traits>

#include <CoreFoundation/CoreFoundation.h>
#include <dlfcn.h>
#include <os/log.h>
#include <sys/param.h>

namespace {

struct CfRelease
{
    void operator()(CFTypeRef ref) const
    {
        if (ref)
            CFRelease(ref);
    }
};
template<typename Ref>
using CfPtr = std::unique_ptr<std::remove_pointer_t<Ref>, CfRelease>;

CfPtr<CFURLRef> fileUrl(const QString &path, bool isDirectory)
{
    const QByteArray bytes = QFile::encodeName(path);
    return CfPtr<CFURLRef>(CFURLCreateFromFileSystemRepresentation(
        kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(bytes.constData()),
        CFIndex(bytes.size()), isDirectory));
}

std::optional<QString> pathOf(CFURLRef url)
{
    UInt8 buffer[PATH_MAX];
    if (!CFURLGetFileSystemRepresentation(url, true, buffer, CFIndex(sizeof buffer)))
        return std::nullopt;
    return QFile::decodeName(reinterpret_cast<const char *>(buffer));
}

// Gatekeeper's translocation calls are in the Security framework from macOS 10.12 on but in
// no header of the SDK, so they are looked up by name, once, and kept for the life of the
// process. Null where the system has none.
struct Translocation
{
    using IsTranslocated = Boolean (*)(CFURLRef path, bool *isTranslocated, CFErrorRef *error);
    using OriginalOf = CFURLRef (*)(CFURLRef translocatedPath, CFErrorRef *error);

    IsTranslocated isTranslocated = nullptr;
    OriginalOf originalOf = nullptr;
};

const Translocation &translocation()
{
    static const Translocation calls = [] {
        Translocation found;
        void *security = ::dlopen("/System/Library/Frameworks/Security.framework/Security",
                                  RTLD_LAZY | RTLD_LOCAL);
        if (security) {
            found.isTranslocated = reinterpret_cast<Translocation::IsTranslocated>(
                ::dlsym(security, "SecTranslocateIsTranslocatedURL"));
            found.originalOf = reinterpret_cast<Translocation::OriginalOf>(
                ::dlsym(security, "SecTranslocateCreateOriginalPathForURL"));
        }
        return found;
    }();
    return calls;
}

} // namespace

// One log object per category, kept for the life of the process.
struct DarwinFrameworks::Logs
{
    std::mutex mutex;
    QHash<QByteArray, os_log_t> handles;
};

DarwinFrameworks::DarwinFrameworks()
    : m_logs(std::make_unique<Logs>())
{}

DarwinFrameworks::~DarwinFrameworks() = default;

std::optional<QString> DarwinFrameworks::resolveBookmarkFile(const QString &path)
{
    const CfPtr<CFURLRef> url = fileUrl(path, false);
    if (!url)
        return std::nullopt;
    const CfPtr<CFDataRef> data(
        CFURLCreateBookmarkDataFromFile(kCFAllocatorDefault, url.get(), nullptr));
    if (!data)
        return std::nullopt;
    Boolean isStale = false;
    const auto options = CFURLBookmarkResolutionOptions(
        kCFURLBookmarkResolutionWithoutUIMask | kCFURLBookmarkResolutionWithoutMountingMask);
    const CfPtr<CFURLRef> target(CFURLCreateByResolvingBookmarkData(
        kCFAllocatorDefault, data.get(), options, nullptr, nullptr, &isStale, nullptr));
    if (!target)
        return std::nullopt;
    return pathOf(target.get());
}

bool DarwinFrameworks::writeBookmarkFile(const QString &targetPath, const QString &aliasPath)
{
    const CfPtr<CFURLRef> target = fileUrl(targetPath, QFileInfo(targetPath).isDir());
    const CfPtr<CFURLRef> alias = fileUrl(aliasPath, false);
    if (!target || !alias)
        return false;
    const CfPtr<CFDataRef> data(CFURLCreateBookmarkData(
        kCFAllocatorDefault, target.get(), kCFURLBookmarkCreationSuitableForBookmarkFile, nullptr,
        nullptr, nullptr));
    return data && CFURLWriteBookmarkDataToFile(data.get(), alias.get(), 0, nullptr);
}

void DarwinFrameworks::log(const QByteArray &subsystem, const QByteArray &category,
                           DarwinLogType type, const QByteArray &message)
{
    os_log_t handle = nullptr;
    {
        const std::lock_guard lock(m_logs->mutex);
        const QByteArray key = subsystem + '\n' + category;
        handle = m_logs->handles.value(key);
        if (!handle) {
            handle = ::os_log_create(subsystem.constData(), category.constData());
            m_logs->handles.insert(key, handle);
        }
    }
    os_log_with_type(handle, type == DarwinLogType::error ? OS_LOG_TYPE_ERROR : OS_LOG_TYPE_DEFAULT,
                     "%{public}s", message.constData());
}

std::optional<QString> DarwinFrameworks::translocatedOriginal(const QString &path)
{
    const Translocation &calls = translocation();
    if (!calls.isTranslocated || !calls.originalOf)
        return std::nullopt;
    const CfPtr<CFURLRef> url = fileUrl(path, true);
    bool isTranslocated = false;
    if (!url || !calls.isTranslocated(url.get(), &isTranslocated, nullptr) || !isTranslocated)
        return std::nullopt;
    const CfPtr<CFURLRef> original(calls.originalOf(url.get(), nullptr));
    if (!original)
        return std::nullopt;
    return pathOf(original.get());
}
