// lumo-webcam: the desktop program. One window drives the connection to the phone's camera server;
// the frames go to the virtual camera, where other programs see the phone as a webcam.

#include "mainwindow.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The settings store takes its names of its own; these name the program to Qt and the desktop.
    app.setOrganizationName(QStringLiteral("Quillmoor"));
    app.setApplicationName(QStringLiteral("Lumo Webcam Client"));
    app.setDesktopFileName(QStringLiteral("lumo-webcam"));
    app.setWindowIcon(QIcon(QStringLiteral(":/icons/lumo-webcam.png")));

    int result;
    {
        MainWindow window;
        window.show();
        result = app.exec();
    }
    return result;
}
