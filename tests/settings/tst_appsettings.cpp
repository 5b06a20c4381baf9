#include "appsettings.h"
#include "settingsstore.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <vector>

class TestAppSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void emptyStoreGivesDefaultsAndSaveAllWritesAllNineKeys();
    void storedValueIsCachedAsRead_data();
    void storedValueIsCachedAsRead();
    void writeThroughSetterReachesStoreAtOnce_data();
    void writeThroughSetterReachesStoreAtOnce();
    void geometryReachesStoreOnlyThroughSaveAll();
    void resolutionSurvivesLoadAndSaveAll_data();
    void resolutionSurvivesLoadAndSaveAll();

private:
    QTemporaryDir m_configHome;
};

namespace {

// The keys with a getter, so that one table can name what it checks. "resolution" has none.
struct CachedKey
{
    QString name;
    QVariant byDefault;
    std::function<QVariant()> get;
    std::function<void(const QVariant &)> set; // none for the geometry: it is not written through
};

const std::vector<CachedKey> &cachedKeys()
{
    using namespace AppSettings;
    static const std::vector<CachedKey> keys = {
        {QStringLiteral("pos"), QPoint(200, 200), [] { return QVariant(pos()); }, {}},
        {QStringLiteral("size"), QSize(320, 180), [] { return QVariant(size()); }, {}},
        {QStringLiteral("vflip"), false, [] { return QVariant(vflip()); },
         [](const QVariant &v) { setVflip(v.toBool()); }},
        {QStringLiteral("hflip"), false, [] { return QVariant(hflip()); },
         [](const QVariant &v) { setHflip(v.toBool()); }},
        {QStringLiteral("transportType"), 0, [] { return QVariant(transportType()); },
         [](const QVariant &v) { setTransportType(v.toInt()); }},
        {QStringLiteral("port"), 0, [] { return QVariant(port()); }, [](const QVariant &v) { setPort(v.toInt()); }},
        {QStringLiteral("wifiServerAddr"), QStringLiteral("127.0.0.1"), [] { return QVariant(wifiServerAddr()); },
         [](const QVariant &v) { setWifiServerAddr(v.toString()); }},
        {QStringLiteral("rotation"), 0, [] { return QVariant(rotation()); },
         [](const QVariant &v) { setRotation(v.toInt()); }},
    };
    return keys;
}

const CachedKey &cachedKey(const QString &name)
{
    const auto &keys = cachedKeys();
    return *std::find_if(keys.begin(), keys.end(), [&name](const CachedKey &key) { return key.name == name; });
}

} // namespace

void TestAppSettings::initTestCase()
{
    // Before anything opens the store: it must never be the user's own.
    QVERIFY(m_configHome.isValid());
    QVERIFY2(redirectSettingsStore(m_configHome.path()), qPrintable(settingsStore().fileName()));
}

void TestAppSettings::init()
{
    settingsStore().clear();
    AppSettings::load();
}

void TestAppSettings::emptyStoreGivesDefaultsAndSaveAllWritesAllNineKeys()
{
    QVariantMap saved = {{QStringLiteral("resolution"), QSize(640, 480)}};
    for (const CachedKey &key : cachedKeys()) {
        QCOMPARE(key.get(), key.byDefault);
        saved.insert(key.name, key.byDefault);
    }
    QVERIFY(settingsStore().allKeys().isEmpty()); // loading writes nothing

    AppSettings::saveAll();
    QStringList keys = settingsStore().allKeys();
    keys.sort();
    QCOMPARE(keys, saved.keys());
    for (const QString &key : std::as_const(keys)) {
        const QVariant value = settingsStore().value(key);
        QVERIFY2(value.typeId() == saved.value(key).typeId(),
                 qPrintable(key + QStringLiteral(": ") + value.typeName()));
        QCOMPARE(value, saved.value(key));
    }
}

void TestAppSettings::storedValueIsCachedAsRead_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("pos") << "pos" << QVariant(QPoint(-30, 4000)) << QVariant(QPoint(-30, 4000));
    QTest::newRow("size") << "size" << QVariant(QSize(800, 600)) << QVariant(QSize(800, 600));
    QTest::newRow("negative size kept") << "size" << QVariant(QSize(-5, -7)) << QVariant(QSize(-5, -7));
    QTest::newRow("vflip") << "vflip" << QVariant(true) << QVariant(true);
    QTest::newRow("hflip") << "hflip" << QVariant(true) << QVariant(true);
    QTest::newRow("transportType") << "transportType" << QVariant(2) << QVariant(2);
    QTest::newRow("transportType 5 kept") << "transportType" << QVariant(5) << QVariant(5);
    QTest::newRow("port") << "port" << QVariant(42) << QVariant(42);
    QTest::newRow("wifiServerAddr untrimmed") << "wifiServerAddr" << QVariant(QStringLiteral(" 10.0.0.7 "))
                                              << QVariant(QStringLiteral(" 10.0.0.7 "));
    QTest::newRow("empty wifiServerAddr is not the default")
        << "wifiServerAddr" << QVariant(QString(QLatin1String(""))) << QVariant(QString(QLatin1String("")));
    QTest::newRow("rotation") << "rotation" << QVariant(3) << QVariant(3);
    QTest::newRow("rotation 7 kept") << "rotation" << QVariant(7) << QVariant(7);

    // A text store hands numbers and flags back as text.
    QTest::newRow("port as text") << "port" << QVariant(QStringLiteral("7")) << QVariant(7);
    QTest::newRow("vflip as text") << "vflip" << QVariant(QStringLiteral("true")) << QVariant(true);
    QTest::newRow("unconvertible rotation gives 0") << "rotation" << QVariant(QStringLiteral("left")) << QVariant(0);
    QTest::newRow("unconvertible pos gives origin") << "pos" << QVariant(QStringLiteral("left")) << QVariant(QPoint());
    QTest::newRow("unconvertible size gives invalid") << "size" << QVariant(17) << QVariant(QSize());
}

void TestAppSettings::storedValueIsCachedAsRead()
{
    QFETCH(QString, key);
    QFETCH(QVariant, stored);
    QFETCH(QVariant, expected);
    settingsStore().setValue(key, stored);
    AppSettings::load();
    // The other keys, absent, keep their defaults: a getter reading the wrong key shows here.
    for (const CachedKey &k : cachedKeys())
        QCOMPARE(k.get(), k.name == key ? expected : k.byDefault);
}

void TestAppSettings::writeThroughSetterReachesStoreAtOnce_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("vflip") << "vflip" << QVariant(true);
    QTest::newRow("hflip") << "hflip" << QVariant(true);
    QTest::newRow("transportType") << "transportType" << QVariant(3);
    QTest::newRow("port") << "port" << QVariant(99);
    QTest::newRow("wifiServerAddr") << "wifiServerAddr" << QVariant(QStringLiteral("phone.local "));
    QTest::newRow("rotation") << "rotation" << QVariant(1);
}

void TestAppSettings::writeThroughSetterReachesStoreAtOnce()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    cachedKey(key).set(value);
    QCOMPARE(cachedKey(key).get(), value);
    QCOMPARE(settingsStore().allKeys(), QStringList{key}); // that key alone, not a save of everything
    QCOMPARE(settingsStore().value(key).typeId(), value.typeId());
    QCOMPARE(settingsStore().value(key), value);
}

void TestAppSettings::geometryReachesStoreOnlyThroughSaveAll()
{
    AppSettings::setPos(QPoint(15, 25));
    AppSettings::setSize(QSize(1024, 768));
    QCOMPARE(AppSettings::pos(), QPoint(15, 25));
    QCOMPARE(AppSettings::size(), QSize(1024, 768));
    QVERIFY(settingsStore().allKeys().isEmpty());

    AppSettings::saveAll();
    QCOMPARE(settingsStore().value(QStringLiteral("pos")), QVariant(QPoint(15, 25)));
    QCOMPARE(settingsStore().value(QStringLiteral("size")), QVariant(QSize(1024, 768)));
}

void TestAppSettings::resolutionSurvivesLoadAndSaveAll_data()
{
    QTest::addColumn<QSize>("stored");
    QTest::newRow("1920x1080") << QSize(1920, 1080);
    QTest::newRow("invalid") << QSize();
    QTest::newRow("negative") << QSize(-640, 480);
}

void TestAppSettings::resolutionSurvivesLoadAndSaveAll()
{
    QFETCH(QSize, stored);
    settingsStore().setValue(QStringLiteral("resolution"), stored);
    AppSettings::load();
    // What the program changes while it runs must not touch it.
    AppSettings::setSize(QSize(1, 1));
    AppSettings::setRotation(2);
    AppSettings::saveAll();
    QCOMPARE(settingsStore().value(QStringLiteral("resolution")), QVariant(stored));
}

QTEST_GUILESS_MAIN(TestAppSettings)
#include "tst_appsettings.moc"
