#include "base/PlistFile.h"

#include "base/PlistCompat.h"
#include "base/PlistDecoder.h"
#include <QDateTime>
#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>
#include <QTimeZone>
#include <memory>
#include <plist/plist.h>
#include <string_view>

namespace PlistFile {
namespace {

struct NodeDeleter
{
    void operator()(void *node) const { plist_free(static_cast<plist_t>(node)); }
};
using NodePtr = std::unique_ptr<void, NodeDeleter>;

// The decoder's UTF-8, character for character: QString::fromUtf8 would take a leading U+FEFF
// for a byte-order mark and drop it, and "\uFEFFTargetAppPath" would read as TargetAppPath.
QString textOf(QByteArrayView utf8)
{
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(utf8);
}

QVariant toVariant(plist_t node)
{
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return QVariant(value != 0);
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return QVariant(qint64(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return QVariant(value);
    }
    case PLIST_STRING: {
        const std::string_view text = PlistCompat::stringOf(node);
        return QVariant(textOf(QByteArrayView(text.data(), qsizetype(text.size()))));
    }
    case PLIST_DATA: {
        char *bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        const QByteArray value(bytes, qsizetype(length));
        PlistCompat::freeMemory(bytes);
        return QVariant(value);
    }
    case PLIST_DATE: {
        return QVariant(
            QDateTime::fromMSecsSinceEpoch(PlistCompat::dateMsecs(node), QTimeZone::utc()));
    }
    case PLIST_ARRAY: {
        // By iterator: libplist finds an item of a binary list's array by walking to it.
        QVariantList list;
        list.reserve(qsizetype(plist_array_get_size(node)));
        plist_array_iter iter = nullptr;
        plist_array_new_iter(node, &iter);
        for (;;) {
            plist_t item = nullptr;
            plist_array_next_item(node, iter, &item);
            if (!item)
                break;
            list.append(toVariant(item));
        }
        free(iter);
        return QVariant(list);
    }
    case PLIST_DICT: {
        // No libplist has an accessor of a key with its length; the decoder hands out no key
        // that holds a NUL, on which reading it whole would abort.
        QVariantMap map;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        for (;;) {
            char *key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iter, &key, &value);
            if (!key)
                break;
            map.insert(textOf(QByteArrayView(key)), toVariant(value));
            PlistCompat::freeMemory(key);
        }
        free(iter);
        return QVariant(map);
    }
    default:
        return QVariant();
    }
}

plist_t fromVariant(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return plist_new_uint(uint64_t(value.toLongLong()));
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(value.toDouble());
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return plist_new_data(bytes.constData(), uint64_t(bytes.size()));
    }
    case QMetaType::QDateTime:
        return PlistCompat::newDate(value.toDateTime().toMSecsSinceEpoch());
    case QMetaType::QVariantList: {
        plist_t array = plist_new_array();
        const QVariantList list = value.toList();
        for (const QVariant &item : list)
            plist_array_append_item(array, fromVariant(item));
        return array;
    }
    case QMetaType::QVariantMap: {
        plist_t dict = plist_new_dict();
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            plist_dict_set_item(dict, it.key().toUtf8().constData(), fromVariant(it.value()));
        return dict;
    }
    default:
        return plist_new_string(value.toString().toUtf8().constData());
    }
}

} // namespace

std::optional<QVariant> parse(const QByteArray &data)
{
    const PlistDecoder::Node root =
        PlistDecoder::decode(data.constData(), std::size_t(data.size()));
    if (!root)
        return std::nullopt;
    return toVariant(static_cast<plist_t>(root.get()));
}

std::optional<QVariant> read(const QString &path)
{
    const PlistDecoder::Node root = PlistDecoder::decodeFile(QFile::encodeName(path).toStdString());
    if (!root)
        return std::nullopt;
    return toVariant(static_cast<plist_t>(root.get()));
}

std::optional<QVariantMap> readDictionary(const QString &path)
{
    const std::optional<QVariant> value = read(path);
    if (!value || value->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    return value->toMap();
}

QByteArray serialize(const Entries &entries, Format format)
{
    plist_t dict = plist_new_dict();
    const NodePtr guard(dict);
    for (const auto &[key, value] : entries)
        plist_dict_set_item(dict, key.toUtf8().constData(), fromVariant(value));
    char *bytes = nullptr;
    uint32_t length = 0;
    if (format == Format::Xml) {
        plist_to_xml(dict, &bytes, &length);
    } else {
        plist_to_bin(dict, &bytes, &length);
    }
    const QByteArray result(bytes, qsizetype(length));
    PlistCompat::freeMemory(bytes);
    return result;
}

bool write(const QString &path, const Entries &entries, Format format)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray data = serialize(entries, format);
    if (file.write(data) != data.size())
        return false;
    return file.commit();
}

} // namespace PlistFile
