#include <QTest>

class Test_btdevicestream : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(Test_btdevicestream)
#include "tst_btdevicestream.moc"
