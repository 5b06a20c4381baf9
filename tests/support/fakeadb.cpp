#include "fakeadb.h"

#include <QDir>
#include <QFile>
#include <QTest>

const QByteArray FakeAdb::kOneDevice = "List of devices attached\nR58M41ABCDE\tdevice\n\n";
const QByteArray FakeAdb::kNoDevice = "List of devices attached\n\n";

FakeAdb::FakeAdb() : m_oldCurrent(QDir::currentPath()), m_oldPath(qgetenv("PATH"))
{
    QDir dir(m_dir.path());
    dir.mkdir(QStringLiteral("bin"));
    dir.mkdir(QStringLiteral("empty"));
    qputenv("PATH", QFile::encodeName(path(QStringLiteral("empty"))));
    QDir::setCurrent(m_dir.path());
}

FakeAdb::~FakeAdb()
{
    QDir::setCurrent(m_oldCurrent);
    qputenv("PATH", m_oldPath);
}

void FakeAdb::install(const QByteArray &devicesOut, const QByteArray &devicesErr, Where where, const QByteArray &hangOn)
{
    writeFile(QStringLiteral("devices.out"), devicesOut);
    writeFile(QStringLiteral("devices.err"), devicesErr);
    writeScript(where == OnPath ? QStringLiteral("bin/adb") : QStringLiteral("adb"),
                "#!/bin/bash\n"
                "printf '%s\\n' \"$*\" >> '" + QFile::encodeName(path(QStringLiteral("adb.log"))) + "'\n"
                "if [ \"$*\" = '" + hangOn + "' ]; then\n"
                "    echo $$ > '" + QFile::encodeName(path(QStringLiteral("hang.pid"))) + "'\n"
                "    exec /bin/sleep 60\n"
                "fi\n"
                "if [ \"$1\" = devices ]; then\n"
                "    /bin/cat '" + QFile::encodeName(path(QStringLiteral("devices.out"))) + "'\n"
                "    /bin/cat '" + QFile::encodeName(path(QStringLiteral("devices.err"))) + "' >&2\n"
                "fi\n");
}

void FakeAdb::writeScript(const QString &name, const QByteArray &text, bool executable)
{
    writeFile(name, text);
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner;
    if (executable)
        permissions |= QFile::ExeOwner;
    QFile::setPermissions(path(name), permissions);
}

QStringList FakeAdb::runs() const
{
    QFile log(path(QStringLiteral("adb.log")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

qint64 FakeAdb::hangingPid() const
{
    QFile file(path(QStringLiteral("hang.pid")));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

void FakeAdb::writeFile(const QString &name, const QByteArray &bytes)
{
    QFile file(path(name));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}
