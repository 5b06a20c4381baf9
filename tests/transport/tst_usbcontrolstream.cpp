#include <QTest>

class Test_usbcontrolstream : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(Test_usbcontrolstream)
#include "tst_usbcontrolstream.moc"
