#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <functional>

// Maps records with Qt properties (Q_GADGET value types declared with Q_DECLARE_METATYPE) to JSON
// and back. Each readable stored property is one member named like the property; nested records
// become objects, lists become arrays (QList<T> needs registerListConverters<T>() once), date-times
// ISO 8601 strings with milliseconds, colours "#rrggbb" / "#aarrggbb". On decoding unknown members
// are ignored and missing ones keep the constructor's value; with allowDefaultNull a null does too.
class JsonSerializer
{
public:
    explicit JsonSerializer(QObject *parent = nullptr);

    void setAllowDefaultNull(bool allow) { m_allowDefaultNull = allow; }
    bool allowDefaultNull() const { return m_allowDefaultNull; }
    // Date-times as "yyyy-MM-ddTHH:mm:ss" local time, without milliseconds or zone (the web
    // service's form).
    void setDateTimeSeconds(bool on) { m_dateTimeSeconds = on; }

    QJsonValue toJson(const QVariant &value) const;
    QVariant fromJson(const QJsonValue &json, int typeId, bool *ok = nullptr) const;

    QByteArray serialize(const QVariant &value, QJsonDocument::JsonFormat format = QJsonDocument::Indented) const;
    template <class T>
    QByteArray serialize(const T &value, QJsonDocument::JsonFormat format = QJsonDocument::Indented) const
    {
        return serialize(QVariant::fromValue(value), format);
    }

    // An invalid QVariant when the bytes are not JSON or do not fit the type; see errorString().
    QVariant deserializeFrom(const QByteArray &bytes, int typeId, QObject *parent = nullptr) const;
    template <class T>
    bool deserialize(const QByteArray &bytes, T &out) const
    {
        const QVariant v = deserializeFrom(bytes, qMetaTypeId<T>());
        if (!v.isValid())
            return false;
        out = v.value<T>();
        return true;
    }

    QString errorString() const { return m_error; }

    struct ListConverter {
        int elementType = 0;
        std::function<QVariantList(const QVariant &)> toList;
        std::function<QVariant(const QVariantList &)> fromList;
    };
    static void registerListConverter(int listType, const ListConverter &converter);

    struct Node; // ordered form of a value while it is written as text

    template <class T>
    static void registerListConverters()
    {
        ListConverter c;
        c.elementType = qMetaTypeId<T>();
        c.toList = [](const QVariant &v) {
            QVariantList list;
            for (const T &e : v.value<QList<T>>())
                list << QVariant::fromValue(e);
            return list;
        };
        c.fromList = [](const QVariantList &list) {
            QList<T> out;
            for (const QVariant &e : list)
                out << e.value<T>();
            return QVariant::fromValue(out);
        };
        registerListConverter(qMetaTypeId<QList<T>>(), c);
    }

private:
    QJsonValue toJsonImpl(const QVariant &value, const QString &path) const;
    Node toNode(const QVariant &value, const QString &path) const;
    QVariant fromJsonImpl(const QJsonValue &json, int typeId, const QString &path, bool *ok) const;
    void fail(const QString &text) const;

    bool m_allowDefaultNull = false;
    bool m_dateTimeSeconds = false;
    mutable QString m_error;
};
