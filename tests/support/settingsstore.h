#pragma once

#include <QSettings>
#include <QString>

// The program's settings store as the tests see it. The store opens on first use, so a test that calls
// redirectSettingsStore() before building anything that reads settings never touches the user's own.
//
//   QVERIFY2(redirectSettingsStore(m_dir.path()), qPrintable(settingsStore().fileName()));

// Points the store below configHome (as XDG_CONFIG_HOME); true when its file now lies there.
bool redirectSettingsStore(const QString &configHome);

// A second view of the store: Qt shares one store per process, so it sees the program's changes at once.
QSettings settingsStore();
