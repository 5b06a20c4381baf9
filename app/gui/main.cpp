// lumo-webcam: the desktop program. One window drives the connection to the phone's camera server;
// the frames go to the virtual camera, where other programs see the phone as a webcam.

#include "clientinfo.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>

int main(int argc, char *argv[])
{
    // --help and --version answer on the terminal before anything needs a display; process() prints
    // and exits. Every other argument is left to QApplication (-platform, -style, ...), as before.
    {
        QCommandLineParser parser;
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.setApplicationDescription(
            QStringLiteral("Uses an Android phone's camera as a webcam: connect from the Connection menu, and "
                           "the phone's pictures appear in the virtual camera (v4l2loopback)."));
        parser.addHelpOption();
        parser.addVersionOption();
        QStringList arguments;
        for (int i = 0; i < argc; ++i)
            arguments.append(QString::fromLocal8Bit(argv[i]));
        parser.parse(arguments);
        if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))
            || parser.isSet(QStringLiteral("version"))) {
            QCoreApplication terminal(argc, argv);
            QCoreApplication::setApplicationName(QStringLiteral("lumo-webcam"));
            QCoreApplication::setApplicationVersion(QString::fromStdString(ClientInfo::versionText()));
            parser.process(terminal);
        }
    }

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
