#include "progressdialog.h"

#include <QApplication>
#include <QLabel>
#include <QtTest>

#include <algorithm>

class TestProgressDialog : public QObject
{
    Q_OBJECT

private slots:
    void startsHiddenModalUntitledWithEmptyLabel();
    void setTextNeitherShowsNorResizes();
    void shownDialogShowsTextWholeAndBlocksTheWindow();
    void hidingKeepsTextAndAllowsShowingAgain_data();
    void hidingKeepsTextAndAllowsShowingAgain();
};

namespace {

const QString connecting = QStringLiteral("Connecting. Please wait ...");

constexpr Qt::WindowFlags titleBarHints = Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                                          | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint
                                          | Qt::WindowContextHelpButtonHint;

QLabel *labelOf(const ProgressDialog &dialog)
{
    const QList<QLabel *> labels = dialog.findChildren<QLabel *>();
    return labels.size() == 1 ? labels.first() : nullptr;
}

} // namespace

void TestProgressDialog::startsHiddenModalUntitledWithEmptyLabel()
{
    QWidget window;
    ProgressDialog dialog(&window);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.parentWidget(), &window);
    QVERIFY(dialog.isModal());
    QVERIFY(dialog.windowFlags().testFlag(Qt::CustomizeWindowHint));
    QCOMPARE(dialog.windowFlags() & titleBarHints, Qt::WindowFlags());

    // One label and nothing else shown: no buttons (Cancel only while cancellable), no progress bar.
    const QList<QWidget *> children = dialog.findChildren<QWidget *>();
    QCOMPARE(std::count_if(children.begin(), children.end(), [](QWidget *w) { return !w->isHidden(); }), 1);
    QLabel *label = labelOf(dialog);
    QVERIFY(label);
    QVERIFY(label->text().isEmpty());
}

void TestProgressDialog::setTextNeitherShowsNorResizes()
{
    QWidget window;
    ProgressDialog dialog(&window);
    const QSize before = dialog.size();
    dialog.setText(connecting + QString(200, u'.'));
    QCOMPARE(labelOf(dialog)->text(), connecting + QString(200, u'.'));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.size(), before);
}

void TestProgressDialog::shownDialogShowsTextWholeAndBlocksTheWindow()
{
    QWidget window;
    window.show();
    ProgressDialog dialog(&window);
    const QString longText = connecting + QString(80, u'.');
    dialog.setText(longText);
    dialog.show();
    QVERIFY(dialog.isVisible());
    QLabel *label = labelOf(dialog);
    QVERIFY(label->isVisible());
    QVERIFY(dialog.rect().contains(label->geometry()));
    QVERIFY(label->width() >= label->sizeHint().width());
    QCOMPARE(QApplication::activeModalWidget(), static_cast<QWidget *>(&dialog));
    QCOMPARE(dialog.windowFlags() & titleBarHints, Qt::WindowFlags()); // showing adds no title bar
    dialog.done(0);
}

void TestProgressDialog::hidingKeepsTextAndAllowsShowingAgain_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("visible");
    QTest::newRow("done(0) before any show") << QStringList{"done"} << false;
    QTest::newRow("done(0) hides") << QStringList{"show", "done"} << false;
    QTest::newRow("done(0) twice") << QStringList{"show", "done", "done"} << false;
    QTest::newRow("Escape hides") << QStringList{"show", "escape"} << false;
    QTest::newRow("done(0) after Escape") << QStringList{"show", "escape", "done"} << false;
    QTest::newRow("shown again after done(0)") << QStringList{"show", "done", "show"} << true;
    QTest::newRow("shown again after Escape") << QStringList{"show", "escape", "show"} << true;
}

void TestProgressDialog::hidingKeepsTextAndAllowsShowingAgain()
{
    QFETCH(QStringList, steps);
    QFETCH(bool, visible);
    QWidget window;
    window.show();
    ProgressDialog dialog(&window);
    dialog.setText(connecting);
    for (const QString &step : std::as_const(steps)) {
        if (step == u"show")
            dialog.show();
        else if (step == u"done")
            dialog.done(0);
        else if (step == u"escape")
            QTest::keyClick(&dialog, Qt::Key_Escape);
    }
    QCOMPARE(dialog.isVisible(), visible);
    QCOMPARE(labelOf(dialog)->text(), connecting);
    // Hidden, it no longer blocks the window.
    QCOMPARE(QApplication::activeModalWidget(), visible ? static_cast<QWidget *>(&dialog) : nullptr);
    dialog.done(0);
}

QTEST_MAIN(TestProgressDialog)
#include "tst_progressdialog.moc"
