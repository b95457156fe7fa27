#include <QCoreApplication>

#include <cstdio>

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
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Ferrowarden"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FERROWARDEN_VERSION));
    printUsage();
    return 0;
}
