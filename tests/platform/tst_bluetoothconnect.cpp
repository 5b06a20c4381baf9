#include <QTest>

class Test_bluetoothconnect : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(Test_bluetoothconnect)
#include "tst_bluetoothconnect.moc"
