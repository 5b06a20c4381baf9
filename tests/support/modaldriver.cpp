#include "modaldriver.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QTest>
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

ModalDriver::ModalDriver()
{
    // Short enough that a test hardly waits, long enough not to keep a sanitizer build busy.
    m_timer.setInterval(10);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
    m_timer.start();
}

ModalDriver::~ModalDriver() = default;

void ModalDriver::expect(const char *className, Handler handler)
{
    m_expectations.append({QByteArray(className), std::move(handler)});
}

void ModalDriver::expectButton(const char *className, QMessageBox::StandardButton button)
{
    expect(className, [button](QDialog *dialog) {
        if (!clickButton(dialog, button))
            dialog->reject();
    });
}

void ModalDriver::expectChoice(const char *className, const QString &radioText, const QString &value)
{
    expect(className, [radioText, value](QDialog *dialog) {
        if (!choose(dialog, radioText, value) || !clickButton(dialog, QMessageBox::Ok))
            dialog->reject();
    });
}

void ModalDriver::rejectUnexpected(const char *className)
{
    m_rejected.append(QByteArray(className));
}

bool ModalDriver::waitUntilAnswered(int timeoutMs)
{
    return QTest::qWaitFor([this] { return m_expectations.isEmpty(); }, timeoutMs);
}

QList<ModalDriver::Seen> ModalDriver::unexpected() const
{
    QList<Seen> result;
    for (const Seen &s : m_seen) {
        if (!s.expected)
            result.append(s);
    }
    return result;
}

void ModalDriver::poll()
{
    // A handler that opens the next dialog itself would reach here again from that dialog's loop.
    if (m_handling)
        return;
    auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
    if (!dialog || !dialog->isVisible())
        return;

    m_handling = true;
    if (!m_expectations.isEmpty() && dialog->inherits(m_expectations.first().className.constData())) {
        const Expectation expectation = m_expectations.takeFirst();
        m_seen.append(describe(dialog));
        expectation.handler(dialog);
    } else {
        bool reject = qobject_cast<QMessageBox *>(dialog) != nullptr;
        for (const QByteArray &name : std::as_const(m_rejected))
            reject = reject || dialog->inherits(name.constData());
        if (reject) {
            Seen seen = describe(dialog);
            seen.expected = false;
            m_seen.append(seen);
            auto *box = qobject_cast<QMessageBox *>(dialog);
            if (box && box->escapeButton())
                box->escapeButton()->click();
            else
                dialog->reject();
        }
    }
    m_handling = false;
}

ModalDriver::Seen ModalDriver::describe(QDialog *dialog)
{
    Seen seen;
    seen.className = dialog->metaObject()->className();
    seen.title = dialog->windowTitle();
    if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
        seen.text = box->text();
        seen.icon = box->icon();
        seen.buttons = box->standardButtons();
    }
    return seen;
}

bool ModalDriver::clickButton(QDialog *dialog, QMessageBox::StandardButton button)
{
    QAbstractButton *target = nullptr;
    if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
        target = box->button(button);
    } else {
        // QMessageBox's and QDialogButtonBox's standard buttons share their values.
        const auto wanted = static_cast<QDialogButtonBox::StandardButton>(button);
        for (QDialogButtonBox *buttons : dialog->findChildren<QDialogButtonBox *>()) {
            if ((target = buttons->button(wanted)))
                break;
        }
    }
    if (!target)
        return false;
    target->click();
    return true;
}

bool ModalDriver::choose(QDialog *dialog, const QString &radioText, const QString &value)
{
    QRadioButton *radio = nullptr;
    for (QRadioButton *candidate : dialog->findChildren<QRadioButton *>()) {
        if (candidate->text() == radioText)
            radio = candidate;
    }
    if (!radio)
        return false;
    radio->setChecked(true);
    if (value.isNull())
        return true;

    for (QGridLayout *grid : dialog->findChildren<QGridLayout *>()) {
        const int index = grid->indexOf(radio);
        if (index < 0)
            continue;
        int row, column, rowSpan, columnSpan;
        grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
        QLayoutItem *beside = grid->itemAtPosition(row, column + columnSpan);
        QWidget *field = beside ? beside->widget() : nullptr;
        if (auto *edit = qobject_cast<QLineEdit *>(field)) {
            edit->setText(value);
            return true;
        }
        if (auto *combo = qobject_cast<QComboBox *>(field)) {
            const int entry = combo->findText(value);
            combo->setCurrentIndex(entry);
            return entry >= 0;
        }
    }
    return false;
}
