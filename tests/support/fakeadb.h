#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A scripted stand-in for adb in a temporary working directory. While it exists, that directory is
// the current one (child processes started without a directory of their own run there too) and PATH
// names only an empty directory, so the adb installed on the machine is never found unless a test
// puts one on PATH itself. Every run appends its arguments as one line to a log; "devices" prints
// devicesOut on standard output and devicesErr on standard error; every other step does nothing.
class FakeAdb
{
public:
    enum Where { WorkingDirectory, OnPath };

    // adb's answers to "devices" with one phone attached, and with none.
    static const QByteArray kOneDevice;
    static const QByteArray kNoDevice;

    FakeAdb();
    ~FakeAdb();
    FakeAdb(const FakeAdb &) = delete;
    FakeAdb &operator=(const FakeAdb &) = delete;

    // hangOn: the argument line (e.g. "-d kill-server") on which the fake sleeps for a minute instead.
    void install(const QByteArray &devicesOut, const QByteArray &devicesErr = "* daemon started successfully\n",
                 Where where = WorkingDirectory, const QByteArray &hangOn = {});
    void writeScript(const QString &name, const QByteArray &text, bool executable = true);

    // The argument lines of the runs so far, in order.
    QStringList runs() const;
    // The process id of the adb that hangs, once it has started; 0 before.
    qint64 hangingPid() const;

    QString path(const QString &name) const { return m_dir.filePath(name); }

private:
    void writeFile(const QString &name, const QByteArray &bytes);

    QTemporaryDir m_dir;
    const QString m_oldCurrent;
    const QByteArray m_oldPath;
};
