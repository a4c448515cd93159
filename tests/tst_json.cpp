// The JSON mapping of property records: nesting, lists, nulls, dates, bad input.
#include "storage/JsonSerializer.h"

#include "Rows.h"

#include <QColor>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class Part
{
    Q_GADGET
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(int count MEMBER count)
    Q_PROPERTY(QDateTime when MEMBER when)
    Q_PROPERTY(QList<int> sizes MEMBER sizes)
public:
    QString name = "unnamed";
    int count = 7;
    QDateTime when;
    QList<int> sizes;
    bool operator==(const Part &o) const { return name == o.name && count == o.count && when == o.when && sizes == o.sizes; }
    bool operator!=(const Part &o) const { return !(*this == o); }
};
Q_DECLARE_METATYPE(Part)

class Whole
{
    Q_GADGET
    Q_PROPERTY(Part head MEMBER head)
    Q_PROPERTY(QList<Part> items MEMBER items)
    Q_PROPERTY(bool flag MEMBER flag)
    Q_PROPERTY(double ratio MEMBER ratio)
    Q_PROPERTY(qint64 big MEMBER big)
    Q_PROPERTY(QString text MEMBER text)
    Q_PROPERTY(QColor color MEMBER color)
    Q_PROPERTY(QDate day MEMBER day)
    Q_PROPERTY(QStringList tags MEMBER tags)
public:
    Part head;
    QList<Part> items;
    bool flag = true;
    double ratio = 0.5;
    qint64 big = 0;
    QString text = "default";
    QColor color = Qt::red;
    QDate day;
    QStringList tags;
};
Q_DECLARE_METATYPE(Whole)

// Every member of a record, joined with '|' (colours with their alpha).
QString summary(const Part &p)
{
    QStringList sizes;
    for (int s : p.sizes)
        sizes << QString::number(s);
    return QStringList{p.name, QString::number(p.count), p.when.toString(Qt::ISODateWithMs), sizes.join(',')}.join('/');
}
QString summary(const Whole &w)
{
    QStringList items;
    for (const Part &p : w.items)
        items << summary(p);
    return QStringList{summary(w.head), items.join(','), QString::number(w.flag), QString::number(w.ratio),
                       QString::number(w.big), w.text, w.color.name(QColor::HexArgb), w.day.toString(Qt::ISODate),
                       w.tags.join(',')}
        .join('|');
}

class TestJson : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qRegisterMetaType<Part>();
        qRegisterMetaType<Whole>();
        JsonSerializer::registerListConverters<int>();
        JsonSerializer::registerListConverters<Part>();
    }

    void recordsRoundTripInTheStoredForm()
    {
        Part a, b;
        a.name = "a\"quoted\"";
        b.name = "b";
        b.count = -1;
        const Whole sample{Part{"头", 3, QDateTime(QDate(2024, 1, 31), QTime(12, 34, 56, 789)), {1, 2, 3}},
                           {a, b}, false, 1.25, 9007199254740000LL, "多行\r\n文本", QColor(1, 2, 3, 4),
                           QDate(2024, 2, 29), {"x", "y"}};
        JsonSerializer s;
        Whole back;
        QVERIFY2(s.deserialize(s.serialize(sample), back), qPrintable(s.errorString()));
        QCOMPARE(summary(back), summary(sample));
        const QJsonObject o = QJsonDocument::fromJson(s.serialize(sample)).object();
        QCOMPARE(o.keys().size(), 9);
        QCOMPARE(o.value("head").toObject().value("when").toString(), QString("2024-01-31T12:34:56.789"));
        QCOMPARE(o.value("head").toObject().value("sizes").toArray(), QJsonArray({1, 2, 3}));
        QCOMPARE(o.value("day").toString(), QString("2024-02-29"));
        // Members in the declaration order of the properties; the indented form indents by four.
        QVERIFY(s.serialize(sample, QJsonDocument::Indented).contains("\n    \"big\": "));
        QCOMPARE(s.serialize(Part(), QJsonDocument::Compact), QByteArray(R"({"name":"unnamed","count":7,"when":"","sizes":[]})"));
    }

    // Missing members keep their defaults, unknown ones are skipped, web answers carry numbers as
    // text and date-times with a space; input that does not fit fails and leaves the target alone.
    void readingKeepsDefaultsAndRefusesMisfits_data();
    void readingKeepsDefaultsAndRefusesMisfits()
    {
        FETCH(QByteArray, bytes, bool, allowNull, QString, read)
        JsonSerializer s;
        s.setAllowDefaultNull(allowNull);
        QCOMPARE(s.deserializeFrom(bytes, qMetaTypeId<Whole>()).isValid(), !read.isEmpty());
        Whole w;
        QCOMPARE(s.deserialize(bytes, w), !read.isEmpty());
        QVERIFY(!read.isEmpty() || !s.errorString().isEmpty());
        QCOMPARE(summary(w), read.isEmpty() ? summary(Whole()) : read);
    }
};

void TestJson::readingKeepsDefaultsAndRefusesMisfits_data()
{
    // read: the members of the result that differ from a default record; empty: refused
    COLUMNS(QByteArray, bytes, bool, allowNull, QString, read)
    QTest::newRow("missing and unknown members")
        << QByteArray(R"({"ratio": 2, "unknown": {"deep": [1]}, "head": {"name": "n", "extra": 1}})") << false
        << "n/7//||1|2|0|default|#ffff0000||";
    QTest::newRow("numbers as text, date-time with a space")
        << QByteArray(R"({"big": "42", "ratio": "0.75", "head": {"count": "9", "when": "2024-01-31 08:00:00"}})")
        << false << "unnamed/9/2024-01-31T08:00:00.000/||1|0.75|42|default|#ffff0000||";
    const QByteArray nulls =
        R"({"head": null, "text": null, "big": 5, "items": [{"name": null, "count": 2, "when": null}], "day": null})";
    QTest::newRow("nulls allowed") << nulls << true << "unnamed/7//|unnamed/2//|1|0.5|5|default|#ffff0000||";
    QTest::newRow("nulls not allowed") << nulls << false << "";
    QTest::newRow("not JSON") << QByteArray("{\"ratio\": ") << true << "";
    QTest::newRow("empty") << QByteArray("") << true << "";
    QTest::newRow("array for record") << QByteArray("[{}]") << true << "";
    QTest::newRow("text for record") << QByteArray(R"({"head": "x"})") << true << "";
    QTest::newRow("object for list") << QByteArray(R"({"items": {}})") << true << "";
    QTest::newRow("bad date-time") << QByteArray(R"({"head": {"when": "yesterday"}})") << true << "";
    QTest::newRow("text for number") << QByteArray(R"({"ratio": "much"})") << true << "";
    QTest::newRow("bad colour") << QByteArray(R"({"color": "#zzz"})") << true << "";
}

QTEST_GUILESS_MAIN(TestJson)
#include "tst_json.moc"
