#include "storage/JsonSerializer.h"

#include <QColor>
#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QMetaProperty>
#include <QReadWriteLock>

#include <cmath>

namespace {

struct ListRegistry {
    QReadWriteLock lock;
    QHash<int, JsonSerializer::ListConverter> converters;
};

ListRegistry &registry()
{
    static ListRegistry r;
    return r;
}

bool findList(int typeId, JsonSerializer::ListConverter *out)
{
    QReadLocker lock(&registry().lock);
    auto it = registry().converters.constFind(typeId);
    if (it == registry().converters.constEnd())
        return false;
    *out = it.value();
    return true;
}

const QMetaObject *gadgetMetaObject(int typeId)
{
    if (!(QMetaType::typeFlags(typeId) & QMetaType::IsGadget))
        return nullptr;
    return QMetaType::metaObjectForType(typeId);
}

bool isIntegerType(int typeId)
{
    switch (typeId) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return true;
    default:
        return false;
    }
}

// Web answers often carry numbers as text; accept both.
bool jsonNumber(const QJsonValue &json, double *out)
{
    if (json.isDouble()) {
        *out = json.toDouble();
        return std::isfinite(*out);
    }
    if (json.isString()) {
        bool ok = false;
        *out = json.toString().trimmed().toDouble(&ok);
        return ok && std::isfinite(*out);
    }
    return false;
}

template <typename T>
QVariant validOrNone(const T &value)
{
    return value.isValid() ? QVariant(value) : QVariant();
}

QDateTime parseDateTime(const QString &text, bool *ok)
{
    *ok = true;
    if (text.isEmpty())
        return QDateTime();
    QDateTime dt = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!dt.isValid())
        dt = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    if (!dt.isValid())
        dt = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    if (!dt.isValid())
        *ok = false;
    return dt;
}

} // namespace

JsonSerializer::JsonSerializer(QObject *) {}

void JsonSerializer::registerListConverter(int listType, const ListConverter &converter)
{
    QWriteLocker lock(&registry().lock);
    registry().converters.insert(listType, converter);
}

void JsonSerializer::fail(const QString &text) const
{
    if (m_error.isEmpty())
        m_error = text;
}

QJsonValue JsonSerializer::toJson(const QVariant &value) const
{
    m_error.clear();
    return toJsonImpl(value, QStringLiteral("$"));
}

QJsonValue JsonSerializer::toJsonImpl(const QVariant &value, const QString &path) const
{
    if (!value.isValid())
        return QJsonValue(QJsonValue::Null);
    const int type = value.userType();
    if (const QMetaObject *mo = gadgetMetaObject(type)) {
        QJsonObject obj;
        const void *gadget = value.constData();
        for (int i = 0; i < mo->propertyCount(); ++i) {
            const QMetaProperty prop = mo->property(i);
            if (!prop.isReadable() || !prop.isStored())
                continue;
            const QVariant pv = prop.readOnGadget(gadget);
            if (prop.isEnumType())
                obj.insert(QLatin1String(prop.name()), pv.toInt());
            else
                obj.insert(QLatin1String(prop.name()), toJsonImpl(pv, path + QLatin1Char('.') + prop.name()));
        }
        return obj;
    }
    ListConverter list;
    if (findList(type, &list)) {
        QJsonArray array;
        for (const QVariant &e : list.toList(value))
            array.append(toJsonImpl(e, path + QStringLiteral("[]")));
        return array;
    }
    switch (type) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Double:
    case QMetaType::Float:
        return value.toDouble();
    case QMetaType::QString:
        return value.toString();
    case QMetaType::QDateTime: {
        const QDateTime dt = value.toDateTime();
        if (dt.isValid() && m_dateTimeSeconds)
            return dt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
        return dt.isValid() ? dt.toString(Qt::ISODateWithMs) : QString();
    }
    case QMetaType::QDate: {
        const QDate d = value.toDate();
        return d.isValid() ? d.toString(Qt::ISODate) : QString();
    }
    case QMetaType::QColor: {
        const QColor c = value.value<QColor>();
        if (!c.isValid())
            return QString();
        return c.alpha() == 255 ? c.name(QColor::HexRgb) : c.name(QColor::HexArgb);
    }
    case QMetaType::QByteArray:
        return QString::fromLatin1(value.toByteArray().toBase64());
    case QMetaType::QStringList:
        return QJsonArray::fromStringList(value.toStringList());
    case QMetaType::QVariantList:
    case QMetaType::QVariantMap:
    case QMetaType::QJsonValue:
    case QMetaType::QJsonObject:
    case QMetaType::QJsonArray:
        return QJsonValue::fromVariant(value);
    default:
        break;
    }
    if (isIntegerType(type))
        return double(value.toLongLong());
    fail(QStringLiteral("%1: type %2 cannot be written as JSON").arg(path, QLatin1String(value.typeName())));
    return QJsonValue(QJsonValue::Null);
}

QVariant JsonSerializer::fromJson(const QJsonValue &json, int typeId, bool *ok) const
{
    m_error.clear();
    bool good = true;
    const QVariant v = fromJsonImpl(json, typeId, QStringLiteral("$"), &good);
    if (ok)
        *ok = good;
    return good ? v : QVariant();
}

QVariant JsonSerializer::fromJsonImpl(const QJsonValue &json, int typeId, const QString &path, bool *ok) const
{
    auto bad = [&](const QString &what) {
        *ok = false;
        fail(QStringLiteral("%1: %2").arg(path, what));
        return QVariant();
    };
    // Dates, times and colours are texts; an empty text is the empty value, and parse gives an
    // invalid variant for a text it cannot read.
    const auto fromText = [&](const QString &what, const QVariant &empty, auto parse) {
        if (!json.isString())
            return bad(what + QStringLiteral(" text expected"));
        const QString text = json.toString();
        if (text.isEmpty())
            return empty;
        const QVariant v = parse(text);
        return v.isValid() ? v : bad(QStringLiteral("not a %1: %2").arg(what, text));
    };
    if (const QMetaObject *mo = gadgetMetaObject(typeId)) {
        if (!json.isObject())
            return bad(QStringLiteral("object expected"));
        const QJsonObject obj = json.toObject();
        QVariant result(typeId, nullptr);
        void *gadget = result.data();
        for (int i = 0; i < mo->propertyCount(); ++i) {
            const QMetaProperty prop = mo->property(i);
            if (!prop.isWritable() || !prop.isStored())
                continue;
            const QString name = QLatin1String(prop.name());
            const auto it = obj.constFind(name);
            if (it == obj.constEnd())
                continue;
            const QJsonValue member = it.value();
            if (member.isNull() || member.isUndefined()) {
                if (m_allowDefaultNull)
                    continue;
                return bad(name + QStringLiteral(" is null"));
            }
            QVariant pv;
            if (prop.isEnumType()) {
                double n = 0;
                if (!jsonNumber(member, &n))
                    return bad(name + QStringLiteral(": number expected"));
                pv = int(n);
            } else {
                pv = fromJsonImpl(member, prop.userType(), path + QLatin1Char('.') + name, ok);
                if (!*ok)
                    return QVariant();
            }
            prop.writeOnGadget(gadget, pv);
        }
        return result;
    }
    ListConverter list;
    if (findList(typeId, &list)) {
        if (!json.isArray())
            return bad(QStringLiteral("array expected"));
        QVariantList items;
        for (const QJsonValue &e : json.toArray()) {
            if (e.isNull() && m_allowDefaultNull) {
                items << QVariant(list.elementType, nullptr);
                continue;
            }
            items << fromJsonImpl(e, list.elementType, path + QStringLiteral("[]"), ok);
            if (!*ok)
                return QVariant();
        }
        return list.fromList(items);
    }
    if (isIntegerType(typeId)) {
        double n = 0;
        if (!jsonNumber(json, &n))
            return bad(QStringLiteral("number expected"));
        QVariant v = qint64(std::llround(n));
        v.convert(typeId);
        return v;
    }
    switch (typeId) {
    case QMetaType::Bool:
        if (json.isBool())
            return json.toBool();
        if (json.isDouble())
            return json.toDouble() != 0;
        return bad(QStringLiteral("boolean expected"));
    case QMetaType::Double:
    case QMetaType::Float: {
        double n = 0;
        if (!jsonNumber(json, &n))
            return bad(QStringLiteral("number expected"));
        QVariant v = n;
        v.convert(typeId);
        return v;
    }
    case QMetaType::QString:
        if (json.isString())
            return json.toString();
        if (json.isDouble())
            return QString::number(json.toDouble(), 'g', 17);
        if (json.isBool())
            return json.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        return bad(QStringLiteral("text expected"));
    case QMetaType::QDateTime:
        return fromText(QStringLiteral("date-time"), QDateTime(), [](const QString &text) {
            bool good = false;
            const QDateTime dt = parseDateTime(text, &good);
            return good ? QVariant(dt) : QVariant();
        });
    case QMetaType::QDate:
        return fromText(QStringLiteral("date"), QDate(), [](const QString &text) {
            return validOrNone(QDate::fromString(text.left(10), Qt::ISODate));
        });
    case QMetaType::QColor:
        return fromText(QStringLiteral("colour"), QColor(), [](const QString &text) { return validOrNone(QColor(text)); });
    case QMetaType::QByteArray:
        if (!json.isString())
            return bad(QStringLiteral("base64 text expected"));
        return QByteArray::fromBase64(json.toString().toLatin1());
    case QMetaType::QStringList: {
        if (!json.isArray())
            return bad(QStringLiteral("array expected"));
        QStringList out;
        for (const QJsonValue &e : json.toArray()) {
            if (!e.isString() && !(e.isNull() && m_allowDefaultNull))
                return bad(QStringLiteral("text expected in array"));
            out << e.toString();
        }
        return out;
    }
    case QMetaType::QVariantList:
        if (!json.isArray())
            return bad(QStringLiteral("array expected"));
        return json.toArray().toVariantList();
    case QMetaType::QVariantMap:
        if (!json.isObject())
            return bad(QStringLiteral("object expected"));
        return json.toObject().toVariantMap();
    case QMetaType::QJsonValue:
        return QVariant::fromValue(json);
    case QMetaType::QJsonObject:
        if (!json.isObject())
            return bad(QStringLiteral("object expected"));
        return json.toObject();
    case QMetaType::QJsonArray:
        if (!json.isArray())
            return bad(QStringLiteral("array expected"));
        return json.toArray();
    default:
        break;
    }
    return bad(QStringLiteral("type %1 cannot be read from JSON").arg(QLatin1String(QMetaType::typeName(typeId))));
}

// JSON text with the members of a record in declaration order (QJsonObject would sort them).
struct JsonSerializer::Node {
    enum Kind { Scalar, Object, Array } kind = Scalar;
    QJsonValue scalar;
    QVector<QPair<QString, Node>> members;
    QVector<Node> items;
};

namespace {

using Node = JsonSerializer::Node;

Node nodeFromJson(const QJsonValue &v)
{
    Node n;
    if (v.isObject()) {
        n.kind = Node::Object;
        const QJsonObject o = v.toObject();
        for (auto it = o.begin(); it != o.end(); ++it)
            n.members.append({it.key(), nodeFromJson(it.value())});
    } else if (v.isArray()) {
        n.kind = Node::Array;
        for (const QJsonValue &e : v.toArray())
            n.items.append(nodeFromJson(e));
    } else {
        n.scalar = v;
    }
    return n;
}

QByteArray scalarText(const QJsonValue &v)
{
    const QByteArray text = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

void writeNode(const Node &n, int depth, bool indented, QByteArray &out);

// An object's members or an array's items between their brackets, one a line when indented.
template <typename Entry>
void writeList(const char *brackets, int count, int depth, bool indented, QByteArray &out, Entry writeEntry)
{
    if (count == 0) {
        out += brackets;
        return;
    }
    const char *newline = indented ? "\n" : "";
    out += brackets[0];
    out += newline;
    for (int i = 0; i < count; ++i) {
        if (indented)
            out += QByteArray(4 * (depth + 1), ' ');
        writeEntry(i);
        if (i + 1 < count)
            out += ',';
        out += newline;
    }
    if (indented)
        out += QByteArray(4 * depth, ' ');
    out += brackets[1];
}

void writeNode(const Node &n, int depth, bool indented, QByteArray &out)
{
    if (n.kind == Node::Scalar) {
        out += scalarText(n.scalar);
    } else if (n.kind == Node::Object) {
        writeList("{}", n.members.size(), depth, indented, out, [&](int i) {
            out += scalarText(n.members[i].first);
            out += indented ? ": " : ":";
            writeNode(n.members[i].second, depth + 1, indented, out);
        });
    } else {
        writeList("[]", n.items.size(), depth, indented, out,
                  [&](int i) { writeNode(n.items[i], depth + 1, indented, out); });
    }
}

} // namespace

JsonSerializer::Node JsonSerializer::toNode(const QVariant &value, const QString &path) const
{
    const int type = value.userType();
    if (const QMetaObject *mo = value.isValid() ? gadgetMetaObject(type) : nullptr) {
        Node n;
        n.kind = Node::Object;
        const void *gadget = value.constData();
        for (int i = 0; i < mo->propertyCount(); ++i) {
            const QMetaProperty prop = mo->property(i);
            if (!prop.isReadable() || !prop.isStored())
                continue;
            const QVariant pv = prop.readOnGadget(gadget);
            const QString name = QLatin1String(prop.name());
            n.members.append({name, prop.isEnumType() ? nodeFromJson(pv.toInt())
                                                      : toNode(pv, path + QLatin1Char('.') + name)});
        }
        return n;
    }
    ListConverter list;
    if (value.isValid() && findList(type, &list)) {
        Node n;
        n.kind = Node::Array;
        for (const QVariant &e : list.toList(value))
            n.items.append(toNode(e, path + QStringLiteral("[]")));
        return n;
    }
    return nodeFromJson(toJsonImpl(value, path));
}

QByteArray JsonSerializer::serialize(const QVariant &value, QJsonDocument::JsonFormat format) const
{
    m_error.clear();
    const Node root = toNode(value, QStringLiteral("$"));
    if (!m_error.isEmpty())
        return QByteArray();
    if (root.kind == Node::Scalar) {
        fail(QStringLiteral("$: only records and lists make a JSON document"));
        return QByteArray();
    }
    QByteArray out;
    const bool indented = format == QJsonDocument::Indented;
    writeNode(root, 0, indented, out);
    if (indented)
        out += '\n';
    return out;
}

QVariant JsonSerializer::deserializeFrom(const QByteArray &bytes, int typeId, QObject *) const
{
    m_error.clear();
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        m_error = parseError.errorString();
        return QVariant();
    }
    const QJsonValue root = doc.isObject() ? QJsonValue(doc.object()) : QJsonValue(doc.array());
    bool ok = true;
    const QVariant v = fromJsonImpl(root, typeId, QStringLiteral("$"), &ok);
    return ok ? v : QVariant();
}
