// The JSON mapping of property records: nesting, lists, nulls, dates, bad input.
#include "storage/JsonSerializer.h"

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
    bool operator==(const Part &o) const
    {
        return name == o.name && count == o.count && when == o.when && sizes == o.sizes;
    }
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
    bool operator==(const Whole &o) const
    {
        return head == o.head && items == o.items && flag == o.flag && ratio == o.ratio && big == o.big &&
               text == o.text && color == o.color && day == o.day && tags == o.tags;
    }
};
Q_DECLARE_METATYPE(Whole)

Whole sample(); // every member set to something other than its default

class TestJson : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void nestedRecordsRoundTrip();
    void namesAndFormsOfMembers();
    void lenientInput();
    void nulls_data();
    void nulls();
    void badInputFails_data();
    void badInputFails();
};

void TestJson::initTestCase()
{
    qRegisterMetaType<Part>();
    qRegisterMetaType<Whole>();
    JsonSerializer::registerListConverters<int>();
    JsonSerializer::registerListConverters<Part>();
}

void TestJson::nestedRecordsRoundTrip()
{
    JsonSerializer s;
    Whole back;
    QVERIFY2(s.deserialize(s.serialize(sample()), back), qPrintable(s.errorString()));
    QVERIFY(back == sample());
}

void TestJson::namesAndFormsOfMembers()
{
    JsonSerializer s;
    const QJsonObject o = QJsonDocument::fromJson(s.serialize(sample())).object();
    QCOMPARE(o.keys().size(), 9);
    QCOMPARE(o.value("head").toObject().value("when").toString(), QString("2024-01-31T12:34:56.789"));
    QCOMPARE(o.value("head").toObject().value("sizes").toArray(), QJsonArray({1, 2, 3}));
    QCOMPARE(o.value("items").toArray().at(1).toObject().value("count").toInt(), -1);
    QCOMPARE(o.value("flag"), QJsonValue(false));
    QCOMPARE(o.value("day").toString(), QString("2024-02-29"));
    // Members in the declaration order of the properties; the indented form indents by four.
    QVERIFY(s.serialize(sample(), QJsonDocument::Indented).contains("\n    \"big\": "));
    QCOMPARE(s.serialize(Part(), QJsonDocument::Compact), QByteArray(R"({"name":"unnamed","count":7,"when":"","sizes":[]})"));
}

void TestJson::lenientInput()
{
    // Missing members keep their defaults, unknown ones are skipped.
    JsonSerializer s;
    Whole w;
    QVERIFY(s.deserialize(R"({"ratio": 2, "unknown": {"deep": [1]}, "head": {"name": "n", "extra": 1}})", w));
    Whole expected;
    expected.ratio = 2;
    expected.head.name = "n";
    QVERIFY(w == expected);
    // Web answers carry numbers as text now and then, and date-times with a space.
    QVERIFY(s.deserialize(R"({"big": "42", "ratio": "0.75", "head": {"count": "9", "when": "2024-01-31 08:00:00"}})", w));
    QCOMPARE(w.big, qint64(42));
    QCOMPARE(w.ratio, 0.75);
    QCOMPARE(w.head.count, 9);
    QCOMPARE(w.head.when, QDateTime(QDate(2024, 1, 31), QTime(8, 0)));
}

void TestJson::nulls_data()
{
    QTest::addColumn<bool>("allow");
    QTest::newRow("allowed") << true;
    QTest::newRow("not allowed") << false;
}

void TestJson::nulls()
{
    QFETCH(bool, allow);
    JsonSerializer s;
    s.setAllowDefaultNull(allow);
    Whole w;
    const bool ok = s.deserialize(
        R"({"head": null, "text": null, "big": 5, "items": [{"name": null, "count": 2, "when": null}], "day": null})", w);
    QCOMPARE(ok, allow);
    if (allow) {
        QVERIFY(w.head == Part());
        QCOMPARE(w.text, QString("default"));
        QCOMPARE(w.big, qint64(5));
        QCOMPARE(w.items.size(), 1);
        QCOMPARE(w.items[0].name, QString("unnamed"));
        QCOMPARE(w.items[0].count, 2);
        QVERIFY(!w.items[0].when.isValid());
    } else {
        QVERIFY(!s.errorString().isEmpty());
    }
}

void TestJson::badInputFails_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("not JSON") << QByteArray("{\"ratio\": ");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("array for record") << QByteArray("[{}]");
    QTest::newRow("text for record") << QByteArray(R"({"head": "x"})");
    QTest::newRow("object for list") << QByteArray(R"({"items": {}})");
    QTest::newRow("bad date-time") << QByteArray(R"({"head": {"when": "yesterday"}})");
    QTest::newRow("text for number") << QByteArray(R"({"ratio": "much"})");
    QTest::newRow("bad colour") << QByteArray(R"({"color": "#zzz"})");
}

void TestJson::badInputFails()
{
    QFETCH(QByteArray, bytes);
    JsonSerializer s;
    s.setAllowDefaultNull(true);
    QVERIFY(!s.deserializeFrom(bytes, qMetaTypeId<Whole>()).isValid());
    QVERIFY(!s.errorString().isEmpty());
    Whole w;
    w.text = "kept";
    QVERIFY(!s.deserialize(bytes, w));
    QCOMPARE(w.text, QString("kept"));
}

Whole sample()
{
    Part a, b;
    a.name = "a\"quoted\"";
    b.name = "b";
    b.count = -1;
    return Whole{Part{"头", 3, QDateTime(QDate(2024, 1, 31), QTime(12, 34, 56, 789)), {1, 2, 3}},
                 {a, b}, false, 1.25, 9007199254740000LL, "多行\r\n文本", QColor(1, 2, 3, 4),
                 QDate(2024, 2, 29), {"x", "y"}};
}

QTEST_GUILESS_MAIN(TestJson)
#include "tst_json.moc"
