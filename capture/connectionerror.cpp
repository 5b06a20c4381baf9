#include "connectionerror.h"

#include "clientinfo.h"

#include <QCoreApplication>

namespace ConnectionError {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

QString versionMessage(int major, int minor)
{
    return tr("Client and server mismatch. Client needs to be v") + QString::number(major) + QLatin1Char('.')
        + QString::number(minor) + tr(" or above.") + QLatin1String("\n\n")
        + tr("Please go to the following page to  install it:") + QLatin1Char('\n') + tr(ClientInfo::kWebPage);
}

QString usbDeviceMessage()
{
    return tr("No device is detected. Make sure you have done the following:\n")
        + tr("1. Connect your phone with PC by USB cable and\n") + tr("2. Install USB driver correctly and\n")
        + tr("3. Enable 'USB debugging' on your phone\n")
        + tr("If you already did all above, you should see your phone is listed as one 'ADB Interface' in the "
             "Device Manager of PC");
}

QString unknownMessage(int code)
{
    return tr("Unknown error") + QLatin1Char('(') + QString::number(code) + QLatin1String(").");
}

} // namespace

QString message(int code, int param1, int param2)
{
    switch (code) {
    case -1:
        return tr("Cannot load Lumo Bluetooth Camera device. ");
    case -2:
        return tr("Fail to load video library. Please reinstall the software.");
    case -3:
        return tr("Cannot communicate with Android phone. Right COM port and server is activated?");
    case -4:
        return tr("Not enough memory to run this program.");
    case OpenFailed:
        return tr("Fail to connect to server.");
    case VersionQueryFailed:
        return tr("Fail to get version information from Lumo Webcam on Android phone. Make sure your server and "
                  "client matches.");
    case VersionMismatch:
        return versionMessage(param1, param2);
    case ResolutionFailed:
        return tr("Cannot start camera on Android phone.");
    case -10:
        return usbDeviceMessage();
    case -11:
        return tr("Failed to start WSA 2.2");
    default:
        return unknownMessage(code);
    }
}

QString details(const QString &tried, const QString &answer, int serverMajor, int serverMinor)
{
    QString text = tr("Tried: ") + tried + QLatin1Char('\n') + tr("Answer: ")
        + (answer.isEmpty() ? tr("none") : answer);
    if (serverMajor >= 0)
        text += QLatin1Char('\n') + tr("Server version: ") + QString::number(serverMajor) + QLatin1Char('.')
            + QString::number(serverMinor);
    return text;
}

} // namespace ConnectionError
