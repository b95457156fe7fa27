#include "widgetdemo.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

namespace {

void printUsage()
{
    std::printf("Ferrowarden %s - copies files between PCs on a local network\n\n"
                "Usage: ferrowarden [command] [options]\n",
                FERROWARDEN_VERSION);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc > 1 && std::strcmp(argv[1], "--widget-demo") == 0)
        return RunWidgetDemo(argc, argv);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Ferrowarden"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FERROWARDEN_VERSION));
    printUsage();
    return 0;
}
