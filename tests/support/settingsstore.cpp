#include "settingsstore.h"

#include <QFile>

bool redirectSettingsStore(const QString &configHome)
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome));
    return settingsStore().fileName().startsWith(configHome + QLatin1Char('/'));
}

QSettings settingsStore()
{
    return QSettings(QStringLiteral("Quillmoor"), QStringLiteral("LumoWebcam"));
}
