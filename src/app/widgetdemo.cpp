#include "widgetdemo.h"

#include <QApplication>
#include <QWidget>

int RunWidgetDemo(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ferrowarden"));
    QWidget window;
    window.setWindowTitle(QStringLiteral("Ferrowarden widget demo"));
    window.show();
    return app.exec();
}
