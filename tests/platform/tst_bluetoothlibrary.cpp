#include <QTest>

class Test_bluetoothlibrary : public QObject
{
    Q_OBJECT
};

QTEST_GUILESS_MAIN(Test_bluetoothlibrary)
#include "tst_bluetoothlibrary.moc"
