#include "transfer/AppProxyHelper.h"

#include "base/OperationError.h"
#include "base/PathUtils.h"
#include "base/PlistFile.h"
#include "base/Subprocess.h"
#include "base/Uuid.h"
#include "platform/System.h"
#include "platform/TreeRemoval.h"
#include "services/PrivilegeHelper.h"
#include "transfer/ProxyLauncherSource.h"

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QtConcurrent/QtConcurrentRun>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

const QString AppProxyHelper::errorDomain = QStringLiteral("AppProxyHelper");

namespace {

enum ErrorCode {
    launcherUnavailable = 1,
    promotionTargetMissing = 2,
    notExternal = 403,
    targetMissing = 404,
    applicationInTheWay = 409,
};

const QString &launcherName = BundleProbe::launcherName;
const QString identifierPrefix = QStringLiteral("com.korvanthelix.proxy.");
const QString defaultVolumeName = QStringLiteral("External Volume");

// A file URL's path as given, without trailing slashes.
QString pathOf(const QUrl &url)
{
    QString path = url.toLocalFile();
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

std::filesystem::path nativePath(const QString &path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// The errno of the call that just failed, or a plain I/O error when it left none.
int lastErrno()
{
    return errno != 0 ? errno : EIO;
}

OperationError fileError(int err, const QString &what, const QString &path, const QString &why)
{
    return OperationError::fileSystem(err, what + QStringLiteral(" '") + path +
                                               QStringLiteral("': ") + why);
}

// Removes a file, a folder tree or a link (never what a link points to, nor what is mounted in
// the tree).
bool removePlainly(const QString &path)
{
    return TreeRemoval::removeAt(path) == 0;
}

void createFolder(const QString &path)
{
    std::error_code error;
    std::filesystem::create_directories(nativePath(path), error);
    if (error)
        throw fileError(error.value(), QStringLiteral("Could not create the folder"), path,
                        QString::fromStdString(error.message()));
}

void writePlainFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size() ||
        !file.flush())
        throw fileError(lastErrno(), QStringLiteral("Could not write"), path, file.errorString());
    file.close();
}

void writeFileAtomically(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
        throw fileError(lastErrno(), QStringLiteral("Could not write"), path, file.errorString());
}

std::optional<QByteArray> readWholeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return data;
}

std::optional<QString> textValue(const QVariantMap &dictionary, const QString &key)
{
    const QVariant value = dictionary.value(key);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

std::optional<QString> nonEmpty(const std::optional<QString> &text)
{
    if (!text || text->isEmpty())
        return std::nullopt;
    return text;
}

QString infoPlistOf(const QString &bundle)
{
    return bundle + QStringLiteral("/Contents/Info.plist");
}

// Links, aliases and this system's proxies stand for an application elsewhere; removing one
// loses nothing.
bool isStandIn(const QString &path)
{
    return AppProxyHelper::isSymbolicLink(path) ||
           AppProxyHelper::isAliasFile(QUrl::fromLocalFile(path)) ||
           AppProxyHelper::isBuiltProxy(path);
}

// Removes what a failed build left at the destination, unless the build got to the end.
class PartialBundleGuard
{
public:
    explicit PartialBundleGuard(QString path)
        : m_path(std::move(path))
    {}
    ~PartialBundleGuard()
    {
        if (!m_done)
            (void)removePlainly(m_path);
    }
    PartialBundleGuard(const PartialBundleGuard &) = delete;
    PartialBundleGuard &operator=(const PartialBundleGuard &) = delete;
    void finish() { m_done = true; }

private:
    QString m_path;
    bool m_done = false;
};

// Removes the temporary files of one launcher build on every way out.
class TemporaryFiles
{
public:
    explicit TemporaryFiles(QStringList paths)
        : m_paths(std::move(paths))
    {}
    ~TemporaryFiles()
    {
        for (const QString &path : m_paths)
            QFile::remove(path);
    }
    TemporaryFiles(const TemporaryFiles &) = delete;
    TemporaryFiles &operator=(const TemporaryFiles &) = delete;

private:
    QStringList m_paths;
};

void checkTarget(const QString &targetPath)
{
    const QString standardized = PathUtils::standardized(targetPath);
    const QString volumesRoot = PathUtils::standardized(System::current().paths().volumesRoot);
    if (standardized.startsWith(QStringLiteral("/System/")) ||
        !standardized.startsWith(volumesRoot + QLatin1Char('/')))
        throw OperationError(
            AppProxyHelper::errorDomain, notExternal,
            QStringLiteral("Refusing to create a proxy for system or non-external path: ") +
                standardized);
    if (!PathUtils::existsFollowingLinks(targetPath))
        throw OperationError(AppProxyHelper::errorDomain, targetMissing,
                             QStringLiteral("Target application does not exist on disk: ") +
                                 targetPath);
}

[[noreturn]] void refuseDestination(const QString &destination)
{
    throw OperationError(AppProxyHelper::errorDomain, applicationInTheWay,
                         QStringLiteral("An application already exists at '") + destination +
                             QStringLiteral("'. Cannot overwrite an existing application."));
}

// Makes room at the destination, or refuses when a real application (or anything else not
// made by this system) stands there; an application with a readable Info.plist is registered
// again first.
void clearDestination(const QString &destination)
{
    const bool isLink = AppProxyHelper::isSymbolicLink(destination);
    const bool isAlias = AppProxyHelper::isAliasFile(QUrl::fromLocalFile(destination));
    const bool exists = PathUtils::existsNoFollow(destination);
    if (exists && !isLink && !isAlias && !AppProxyHelper::isBuiltProxy(destination)) {
        if (PlistFile::readDictionary(infoPlistOf(destination)))
            AppProxyHelper::registerWithLaunchServices(QUrl::fromLocalFile(destination));
        refuseDestination(destination);
    }
    if (!exists && !isLink && !isAlias)
        return;
    if (!removePlainly(destination))
        PrivilegeHelper::safeRemove(destination);
}

void writeLauncher(const QString &macOSFolder)
{
    const QByteArray launcher = AppProxyHelper::getProxyLauncherData();
    const QString path = macOSFolder + QLatin1Char('/') + launcherName;
    writePlainFile(path, launcher);
    if (::chmod(QFile::encodeName(path).constData(), 0755) != 0)
        throw fileError(lastErrno(), QStringLiteral("Could not make executable"), path,
                        QString::fromLocal8Bit(std::strerror(errno)));
}

struct TargetDetails
{
    std::optional<QString> bundleIdentifier;
    std::optional<QString> version;
};

// The desktop's icon of the target as PNG; nothing is written when there is none.
void renderIcon(const QString &targetPath, const QString &resources)
{
    const QByteArray png = System::current().bundleServices().iconPng(targetPath);
    if (png.isEmpty())
        return;
    QFile file(resources + QStringLiteral("/AppIcon.png"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(png);
}

// The target's own icon file, copied; otherwise the rendered one.
void provideIcon(const QVariantMap &info, const QString &targetPath, const QString &resources)
{
    // Only a file name: the entry must not lead out of the target's Resources folder.
    QString iconFile = PathUtils::lastComponent(
        textValue(info, QStringLiteral("CFBundleIconFile")).value_or(QString()));
    if (iconFile.isEmpty() || iconFile.contains(QLatin1Char('/'))) {
        renderIcon(targetPath, resources);
        return;
    }
    if (!iconFile.endsWith(QStringLiteral(".icns")))
        iconFile += QStringLiteral(".icns");
    const QString source = targetPath + QStringLiteral("/Contents/Resources/") + iconFile;
    if (!PathUtils::existsFollowingLinks(source)) {
        renderIcon(targetPath, resources);
        return;
    }
    // A failed copy leaves the proxy without an icon file; it still works.
    (void)QFile::copy(source, resources + QStringLiteral("/AppIcon.icns"));
}

TargetDetails readTargetDetails(const QString &targetPath, const QString &resources,
                                const std::optional<QString> &bundleIdentifier,
                                const std::optional<QString> &version)
{
    TargetDetails details{nonEmpty(bundleIdentifier), version};
    const std::optional<QVariantMap> info = PlistFile::readDictionary(infoPlistOf(targetPath));
    if (!info) {
        renderIcon(targetPath, resources);
        return details;
    }
    if (!details.bundleIdentifier)
        details.bundleIdentifier = nonEmpty(textValue(*info, QStringLiteral("CFBundleIdentifier")));
    if (!details.version)
        details.version = textValue(*info, QStringLiteral("CFBundleShortVersionString"));
    if (!details.version)
        details.version = textValue(*info, QStringLiteral("CFBundleVersion"));
    provideIcon(*info, targetPath, resources);
    return details;
}

// The drive's name: the first component below the volumes root of the path as given.
QString volumeNameOf(const QString &targetPath)
{
    const QStringList components = targetPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const QStringList root =
        System::current().paths().volumesRoot.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (targetPath.startsWith(QLatin1Char('/')) && components.size() > root.size() &&
        components.mid(0, root.size()) == root)
        return components.at(root.size());
    return defaultVolumeName;
}

// The name without its bracket tags: "Name [Tag]" gives "Name".
QString cleanName(const QString &name)
{
    static const QRegularExpression tags(QStringLiteral(R"( \[[^\]]+\])"));
    QString clean = name;
    clean.remove(tags);
    return clean;
}

// A name as one file-name component: "/" is what the file manager shows for ":".
QString fileNameOf(const QString &name)
{
    QString fileName = name;
    fileName.replace(QLatin1Char('/'), QLatin1Char(':'));
    return fileName;
}

QString proxyIdentifier(const std::optional<QString> &bundleIdentifier, const QString &cleanName)
{
    static const QRegularExpression invalid(QStringLiteral("[^A-Za-z0-9.-]"));
    QString identifier = bundleIdentifier
                             ? *bundleIdentifier
                             : cleanName.toLower().replace(QLatin1Char(' '), QLatin1Char('.'));
    identifier.replace(invalid, QStringLiteral("-"));
    if (!identifier.startsWith(identifierPrefix))
        identifier.prepend(identifierPrefix);
    return identifier;
}

void writeInfoPlist(const QString &destination, const QString &name, const QString &targetPath,
                    const QString &volumeName, const TargetDetails &details)
{
    const QString version = details.version.value_or(QStringLiteral("1.0"));
    PlistFile::Entries entries = {
        {QStringLiteral("CFBundlePackageType"), QStringLiteral("APPL")},
        {QStringLiteral("CFBundleIdentifier"), proxyIdentifier(details.bundleIdentifier, name)},
        {QStringLiteral("CFBundleName"), name},
        {QStringLiteral("CFBundleDisplayName"), name},
        {QStringLiteral("CFBundleExecutable"), launcherName},
        {QStringLiteral("CFBundleShortVersionString"), version},
        {QStringLiteral("CFBundleVersion"), version},
        {QStringLiteral("CFBundleIconFile"), QStringLiteral("AppIcon")},
        {QStringLiteral("LSMinimumSystemVersion"), QStringLiteral("12.0")},
        {QStringLiteral("NSHighResolutionCapable"), true},
        {QStringLiteral("TargetAppPath"), targetPath},
        {QStringLiteral("TargetVolumeName"), volumeName},
        {QStringLiteral("IsKorvanthelixProxy"), true},
    };
    if (details.bundleIdentifier)
        entries.append({QStringLiteral("OriginalBundleIdentifier"), *details.bundleIdentifier});
    writePlainFile(infoPlistOf(destination), PlistFile::serialize(entries, PlistFile::Format::Xml));
}

QString targetOf(const AppItem &app)
{
    if ((app.isSymlink || app.isAlias || app.isProxyBundle()) && app.symlinkTarget)
        return *app.symlinkTarget;
    return app.id();
}

std::optional<QByteArray> prebuiltLauncher()
{
    BundleServices &services = System::current().bundleServices();
    if (const std::optional<QString> resource = services.programResource(launcherName)) {
        if (const std::optional<QByteArray> data = readWholeFile(*resource);
            data && !data->isEmpty())
            return data;
    }
    const QString bundle = services.programBundlePath();
    if (bundle.isEmpty())
        return std::nullopt;
    const QString path = bundle + QStringLiteral("/Contents/Resources/") + launcherName;
    if (!PathUtils::existsFollowingLinks(path))
        return std::nullopt;
    if (const std::optional<QByteArray> data = readWholeFile(path); data && !data->isEmpty())
        return data;
    return std::nullopt;
}

QByteArray compileLauncher()
{
    const QString temp = System::current().paths().temp;
    const QString sourceUuid = newUuidText();
    QString outputUuid = newUuidText();
    while (outputUuid == sourceUuid)
        outputUuid = newUuidText();
    const QString sourcePath =
        temp + QStringLiteral("/ProxyLauncher_") + sourceUuid + QStringLiteral(".m");
    const QString outputPath = temp + QStringLiteral("/ProxyLauncher_") + outputUuid;
    const TemporaryFiles cleanup({sourcePath, outputPath});

    writeFileAtomically(sourcePath, QByteArray(proxyLauncherSourceText));
    const ToolCommand compiler =
        System::current().bundleServices().launcherCompileCommand(sourcePath, outputPath);
    const SubprocessResult result = Subprocess::run(compiler.program, compiler.arguments);
    if (result.failedToStart)
        throw OperationError::process(-1, QStringLiteral("Could not launch ") + compiler.program +
                                              QStringLiteral(": ") + result.startError);
    if (result.exitCode != 0 || !PathUtils::existsFollowingLinks(outputPath))
        throw OperationError(
            AppProxyHelper::errorDomain, launcherUnavailable,
            QStringLiteral("Failed to locate or compile ProxyLauncher executable"));
    QFile output(outputPath);
    errno = 0;
    if (!output.open(QIODevice::ReadOnly))
        throw fileError(lastErrno(), QStringLiteral("Could not read"), outputPath,
                        output.errorString());
    const QByteArray data = output.readAll();
    if (output.error() != QFileDevice::NoError)
        throw fileError(EIO, QStringLiteral("Could not read"), outputPath, output.errorString());
    return data;
}

} // namespace

size_t qHash(const AppProxyResult &result, size_t seed) noexcept
{
    return qHashMulti(seed, result.appName, result.proxyURL, result.success,
                      result.error.has_value(), result.error.value_or(QString()));
}

AppProxyHelper &AppProxyHelper::shared()
{
    static AppProxyHelper instance;
    return instance;
}

void AppProxyHelper::createProxyBundle(const QString &appName, const QUrl &targetAppURL,
                                       const QUrl &destinationURL,
                                       const std::optional<QString> &bundleIdentifier,
                                       const std::optional<QString> &version)
{
    const QString targetPath = pathOf(targetAppURL);
    const QString destination = pathOf(destinationURL);
    checkTarget(targetPath);
    clearDestination(destination);

    PartialBundleGuard partial(destination);
    const QString macOS = destination + QStringLiteral("/Contents/MacOS");
    const QString resources = destination + QStringLiteral("/Contents/Resources");
    createFolder(macOS);
    createFolder(resources);
    writeLauncher(macOS);
    const TargetDetails details =
        readTargetDetails(targetPath, resources, bundleIdentifier, version);
    const QString volumeName = volumeNameOf(targetPath);
    const QString name = cleanName(appName);
    writeInfoPlist(destination, name, targetPath, volumeName, details);
    partial.finish();

    BundleServices &services = System::current().bundleServices();
    services.signAdHoc(destination);
    registerWithLaunchServices(destinationURL);
    services.setComment(destination, QStringLiteral("Korvanthelix Proxy -> Stored on ") +
                                         volumeName + QStringLiteral(": ") + targetPath);
}

void AppProxyHelper::registerWithLaunchServices(const QUrl &url)
{
    System::current().bundleServices().registerApplication(pathOf(url));
}

QByteArray AppProxyHelper::getProxyLauncherData()
{
    if (std::optional<QByteArray> prebuilt = prebuiltLauncher())
        return *std::move(prebuilt);
    return compileLauncher();
}

QUrl AppProxyHelper::promoteToRootApplications(const AppItem &app)
{
    const QString target = targetOf(app);
    if (!PathUtils::existsFollowingLinks(target))
        throw OperationError(errorDomain, promotionTargetMissing,
                             QStringLiteral("Target application does not exist on disk: ") +
                                 target);
    const QString applications = System::current().paths().applications;
    const QString name = cleanName(app.name);
    const QString proxyPath =
        applications + QLatin1Char('/') + fileNameOf(name) + QStringLiteral(".app");
    createProxyBundle(name, QUrl::fromLocalFile(target), QUrl::fromLocalFile(proxyPath),
                      app.bundleIdentifier, app.version);

    // Only stand-ins are tidied away: a real application is never removed here. A link
    // whose drive is gone is still a stand-in in the way.
    const QString former =
        applications + QLatin1Char('/') + fileNameOf(app.name) + QStringLiteral(".app");
    if (former != proxyPath && PathUtils::existsNoFollow(former) && isStandIn(former))
        (void)removePlainly(former);
    for (const QString &duplicate : app.duplicateAliasPaths) {
        if (duplicate.startsWith(applications + QLatin1Char('/')) && duplicate != proxyPath &&
            isStandIn(duplicate))
            (void)removePlainly(duplicate);
    }
    return QUrl::fromLocalFile(proxyPath);
}

QFuture<ProxyBatchResult> AppProxyHelper::batchCreateProxies(const QList<AppItem> &apps,
                                                             bool promoteToRoot)
{
    return QtConcurrent::run([apps, promoteToRoot] {
        ProxyBatchResult result;
        for (const AppItem &app : apps) {
            if (app.isProtected)
                continue;
            try {
                if (promoteToRoot)
                    (void)promoteToRootApplications(app);
                else
                    createProxyBundle(app.name, QUrl::fromLocalFile(targetOf(app)), app.url,
                                      app.bundleIdentifier, app.version);
                ++result.successCount;
            } catch (const std::exception &error) {
                result.failedNames.append(app.name + QStringLiteral(" (") +
                                          QString::fromUtf8(error.what()) + QLatin1Char(')'));
            }
        }
        return result;
    });
}
