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
};
Q_DECLARE_METATYPE(Whole)

class TestJson : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void nestedRecordsRoundTrip();
    void namesAndFormsOfMembers();
    void missingAndUnknownMembers();
    void nulls_data();
    void nulls();
    void badInputFails_data();
    void badInputFails();
    void numbersAsText();
};

void TestJson::initTestCase()
{
    qRegisterMetaType<Part>();
    qRegisterMetaType<Whole>();
    JsonSerializer::registerListConverters<int>();
    JsonSerializer::registerListConverters<Part>();
}

static Whole sample()
{
    Whole w;
    w.head.name = "头";
    w.head.count = 3;
    w.head.when = QDateTime(QDate(2024, 1, 31), QTime(12, 34, 56, 789));
    w.head.sizes = {1, 2, 3};
    Part a;
    a.name = "a\"quoted\"";
    Part b;
    b.name = "b";
    b.count = -1;
    w.items = {a, b};
    w.flag = false;
    w.ratio = 1.25;
    w.big = 9007199254740000LL;
    w.text = "多行\r\n文本";
    w.color = QColor(1, 2, 3, 4);
    w.day = QDate(2024, 2, 29);
    w.tags = QStringList{"x", "y"};
    return w;
}

void TestJson::nestedRecordsRoundTrip()
{
    JsonSerializer s;
    const Whole w = sample();
    const QByteArray bytes = s.serialize(w);
    QVERIFY(!bytes.isEmpty());
    Whole back;
    QVERIFY2(s.deserialize(bytes, back), qPrintable(s.errorString()));
    QVERIFY(back.head == w.head);
    QCOMPARE(back.items.size(), 2);
    QVERIFY(back.items[0] == w.items[0]);
    QVERIFY(back.items[1] == w.items[1]);
    QCOMPARE(back.flag, false);
    QCOMPARE(back.ratio, 1.25);
    QCOMPARE(back.big, w.big);
    QCOMPARE(back.text, w.text);
    QCOMPARE(back.color, w.color);
    QCOMPARE(back.day, w.day);
    QCOMPARE(back.tags, w.tags);
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
    const QByteArray text = s.serialize(sample(), QJsonDocument::Indented);
    QVERIFY(text.contains("\n    \"big\": "));
    // Members follow the declaration order of the properties.
    int last = -1;
    for (const char *key : {"\"head\"", "\"items\"", "\"flag\"", "\"ratio\"", "\"big\"", "\"text\"", "\"color\"",
                            "\"day\"", "\"tags\""}) {
        const int at = text.indexOf(key);
        QVERIFY2(at > last, key);
        last = at;
    }
    QVERIFY(text.indexOf("\"name\"") < text.indexOf("\"count\""));
    const QByteArray compact = s.serialize(sample(), QJsonDocument::Compact);
    QVERIFY(!compact.contains('\n'));
    QCOMPARE(QJsonDocument::fromJson(compact), QJsonDocument::fromJson(text));
    QCOMPARE(s.serialize(Part(), QJsonDocument::Compact), QByteArray(R"({"name":"unnamed","count":7,"when":"","sizes":[]})"));
}

void TestJson::missingAndUnknownMembers()
{
    JsonSerializer s;
    Whole w;
    QVERIFY(s.deserialize(R"({"ratio": 2, "unknown": {"deep": [1]}, "head": {"name": "n", "extra": 1}})", w));
    QCOMPARE(w.ratio, 2.0);
    QCOMPARE(w.head.name, QString("n"));
    QCOMPARE(w.head.count, 7);
    QCOMPARE(w.text, QString("default"));
    QCOMPARE(w.color, QColor(Qt::red));
    QVERIFY(w.items.isEmpty());
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

void TestJson::numbersAsText()
{
    // Web answers carry numbers as text now and then.
    JsonSerializer s;
    Whole w;
    QVERIFY(s.deserialize(R"({"big": "42", "ratio": "0.75", "head": {"count": "9", "when": "2024-01-31 08:00:00"}})", w));
    QCOMPARE(w.big, qint64(42));
    QCOMPARE(w.ratio, 0.75);
    QCOMPARE(w.head.count, 9);
    QCOMPARE(w.head.when, QDateTime(QDate(2024, 1, 31), QTime(8, 0)));
}

QTEST_MAIN(TestJson)
#include "tst_json.moc"
