#include "support/BundleBuilder.h"

#include "base/PathUtils.h"
#include "support/Sandbox.h"

#include <QDir>
#include <QFileInfo>
#include <QStringEncoder>
#include <unistd.h>

namespace {

QByteArray quotedText(const QString &text)
{
    QByteArray out = "\"";
    for (const char c : text.toUtf8()) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + '"';
}

QByteArray textFormValue(const QVariant &value, int indent)
{
    const QByteArray inner(indent + 4, ' ');
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool() ? "YES" : "NO";
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
        return value.toString().toUtf8();
    case QMetaType::QByteArray:
        return '<' + value.toByteArray().toHex(' ') + '>';
    case QMetaType::QVariantList: {
        QByteArray out = "(\n";
        for (const QVariant &item : value.toList())
            out += inner + textFormValue(item, indent + 4) + ",\n";
        return out + QByteArray(indent, ' ') + ')';
    }
    case QMetaType::QVariantMap: {
        QByteArray out = "{\n";
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            out += inner + quotedText(it.key()) + " = " + textFormValue(it.value(), indent + 4) +
                   ";\n";
        return out + QByteArray(indent, ' ') + '}';
    }
    default:
        return quotedText(value.toString());
    }
}

QByteArray textForm(const PlistFile::Entries &entries)
{
    QByteArray out = "// Info.plist of an early bundle\n{\n";
    for (const auto &[key, value] : entries)
        out += "    " + quotedText(key) + " = " + textFormValue(value, 4) + "; /* " + key.toUtf8() +
               " */\n";
    return out + "}\n";
}

QByteArray utf16Xml(const PlistFile::Entries &entries, QStringEncoder::Encoding encoding)
{
    QString xml = QString::fromUtf8(PlistFile::serialize(entries, PlistFile::Format::Xml));
    xml.replace(QStringLiteral("encoding=\"UTF-8\""), QStringLiteral("encoding=\"UTF-16\""));
    QStringEncoder encoder(encoding, QStringEncoder::Flag::WriteBom);
    return encoder.encode(xml);
}

void writeBytes(const QString &path, const QByteArray &content, int mode)
{
    Sandbox::writeFile(path, content, mode);
}

void makeLink(const QString &path, const QString &text)
{
    ::unlink(path.toLocal8Bit().constData());
    Sandbox::makeSymlink(path, text);
}

QByteArray filler(qint64 bytes, const QString &seed)
{
    QByteArray pattern = seed.toUtf8() + '\n';
    QByteArray out;
    out.reserve(bytes);
    while (out.size() < bytes)
        out.append(pattern);
    out.truncate(bytes);
    return out;
}

} // namespace

BundleBuilder::BundleBuilder(QString bundlePath)
    : m_path(std::move(bundlePath))
    , m_executable(PathUtils::baseName(m_path))
{}

BundleBuilder &BundleBuilder::identifier(std::optional<QString> id)
{
    m_identifier = std::move(id);
    return *this;
}

BundleBuilder &BundleBuilder::version(std::optional<QString> shortVersion)
{
    m_version = std::move(shortVersion);
    return *this;
}

BundleBuilder &BundleBuilder::buildNumber(std::optional<QString> bundleVersion)
{
    m_buildNumber = std::move(bundleVersion);
    return *this;
}

BundleBuilder &BundleBuilder::executableName(QString name)
{
    m_executable = std::move(name);
    return *this;
}

BundleBuilder &BundleBuilder::format(PlistFile::Format format)
{
    m_form = format == PlistFile::Format::Binary ? InfoPlistForm::binary : InfoPlistForm::xml;
    return *this;
}

BundleBuilder &BundleBuilder::form(InfoPlistForm form)
{
    m_form = form;
    return *this;
}

BundleBuilder &BundleBuilder::plistValue(const QString &key, const QVariant &value)
{
    m_extra.append({key, value});
    return *this;
}

BundleBuilder &BundleBuilder::withoutInfoPlist()
{
    m_writePlist = false;
    return *this;
}

BundleBuilder &BundleBuilder::file(const QString &relativePath, const QByteArray &content, int mode)
{
    m_files.append({relativePath, content, mode});
    return *this;
}

BundleBuilder &BundleBuilder::symlink(const QString &relativePath, const QString &linkText)
{
    m_links.append({relativePath, linkText});
    return *this;
}

BundleBuilder &BundleBuilder::framework(const QString &name)
{
    m_frameworks.append(name);
    return *this;
}

BundleBuilder &BundleBuilder::executableSize(qint64 bytes)
{
    m_executableSize = bytes;
    return *this;
}

QString BundleBuilder::build() const
{
    const QString contents = m_path + QStringLiteral("/Contents");
    QDir().mkpath(contents + QStringLiteral("/MacOS"));
    if (m_writePlist) {
        PlistFile::Entries entries;
        entries.append({QStringLiteral("CFBundleName"), PathUtils::baseName(m_path)});
        entries.append({QStringLiteral("CFBundleExecutable"), m_executable});
        entries.append({QStringLiteral("CFBundlePackageType"), QStringLiteral("APPL")});
        if (m_identifier)
            entries.append({QStringLiteral("CFBundleIdentifier"), *m_identifier});
        if (m_version)
            entries.append({QStringLiteral("CFBundleShortVersionString"), *m_version});
        if (m_buildNumber)
            entries.append({QStringLiteral("CFBundleVersion"), *m_buildNumber});
        entries.append(m_extra);
        writeInfoPlist(m_path, entries, m_form);
    }
    writeBytes(contents + QStringLiteral("/MacOS/") + m_executable,
               QByteArray("#!/bin/sh\n") + filler(m_executableSize, m_path), 0755);
    for (const QString &name : m_frameworks) {
        const QString fw =
            contents + QStringLiteral("/Frameworks/") + name + QStringLiteral(".framework");
        writeBytes(fw + QStringLiteral("/Versions/A/") + name, filler(4096, name), 0755);
        writeBytes(fw + QStringLiteral("/Versions/A/Resources/Info.plist"), QByteArray("<plist/>"),
                   0644);
        makeLink(fw + QStringLiteral("/Versions/Current"), QStringLiteral("A"));
        makeLink(fw + QLatin1Char('/') + name, QStringLiteral("Versions/Current/") + name);
        makeLink(fw + QStringLiteral("/Resources"), QStringLiteral("Versions/Current/Resources"));
    }
    for (const FileEntry &entry : m_files)
        writeBytes(contents + QLatin1Char('/') + entry.path, entry.content, entry.mode);
    for (const auto &[relative, text] : m_links)
        makeLink(contents + QLatin1Char('/') + relative, text);
    return m_path;
}

void writeInfoPlist(const QString &bundlePath, const PlistFile::Entries &entries,
                    PlistFile::Format format)
{
    const QString plist = bundlePath + QStringLiteral("/Contents/Info.plist");
    QDir().mkpath(QFileInfo(plist).absolutePath());
    if (!PlistFile::write(plist, entries, format))
        throw std::runtime_error("cannot write " + plist.toStdString());
}

void writeInfoPlist(const QString &bundlePath, const PlistFile::Entries &entries,
                    InfoPlistForm form)
{
    Sandbox::writeFile(bundlePath + QStringLiteral("/Contents/Info.plist"),
                       encodeInfoPlist(entries, form));
}

const char *labelOf(InfoPlistForm form)
{
    switch (form) {
    case InfoPlistForm::xml:
        return "XML";
    case InfoPlistForm::xmlWithBom:
        return "XML with a byte-order mark";
    case InfoPlistForm::xmlUtf16LE:
        return "XML in UTF-16LE";
    case InfoPlistForm::xmlUtf16BE:
        return "XML in UTF-16BE";
    case InfoPlistForm::binary:
        return "binary";
    case InfoPlistForm::text:
        return "old text form";
    }
    return "?";
}

QByteArray encodeInfoPlist(const PlistFile::Entries &entries, InfoPlistForm form)
{
    switch (form) {
    case InfoPlistForm::xml:
        return PlistFile::serialize(entries, PlistFile::Format::Xml);
    case InfoPlistForm::xmlWithBom:
        return "\xEF\xBB\xBF" + PlistFile::serialize(entries, PlistFile::Format::Xml);
    case InfoPlistForm::xmlUtf16LE:
        return utf16Xml(entries, QStringEncoder::Utf16LE);
    case InfoPlistForm::xmlUtf16BE:
        return utf16Xml(entries, QStringEncoder::Utf16BE);
    case InfoPlistForm::binary:
        return PlistFile::serialize(entries, PlistFile::Format::Binary);
    case InfoPlistForm::text:
        return textForm(entries);
    }
    return {};
}
