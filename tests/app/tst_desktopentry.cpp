// Desktop integration: the program names its desktop entry and carries its icon, `cmake
// --install` puts the program, the entry and the icon where a Linux desktop looks, and the
// entry passes desktop-file-validate where that tool is installed.
#include "app/ferrowardenapplication.h"
#include "app/tmainwindow.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

const QString kEntry = QStringLiteral(FERROWARDEN_SOURCE_DIR "/src/app/resources/ferrowarden.desktop");

// The keys of the [Desktop Entry] group.
QMap<QString, QString> readEntry(const QString& path)
{
    QMap<QString, QString> keys;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return keys;
    bool inGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inGroup = line == QLatin1String("[Desktop Entry]");
        else if (inGroup && line.contains(QLatin1Char('=')) && !line.startsWith(QLatin1Char('#')))
            keys.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1));
    }
    return keys;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestDesktopEntry : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        static QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", config.filePath("cfg").toLocal8Bit());
        qputenv("FERROWARDEN_DISCOVERY_PORT", QByteArray::number(10000 + (::getpid() * 23) % 12000));
        QVERIFY(QDir::setCurrent(config.path()));
    }

    void theProgramNamesItsEntryAndShowsItsIcon()
    {
        QCOMPARE(QGuiApplication::desktopFileName() + QStringLiteral(".desktop"), QFileInfo(kEntry).fileName());
        const QMap<QString, QString> entry = readEntry(kEntry);
        QCOMPARE(entry.value("Icon"), QGuiApplication::desktopFileName());

        const QIcon icon = QApplication::windowIcon();
        QVERIFY(!icon.isNull());
        for (int size : {16, 32, 48, 256})
            QVERIFY2(icon.availableSizes().contains(QSize(size, size)), qPrintable(QString::number(size)));
        TMainWindow window;
        QCOMPARE(window.windowIcon().cacheKey(), icon.cacheKey());
    }

    void installPutsEverythingWhereTheDesktopLooks()
    {
        const QString cmake = QStandardPaths::findExecutable(QStringLiteral("cmake"));
        if (cmake.isEmpty())
            QSKIP("cmake is not on the PATH");
        QTemporaryDir prefix;
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(
            cmake, {"--install", QFileInfo(QStringLiteral(FERROWARDEN_BIN)).absolutePath(), "--prefix", prefix.path()});
        QVERIFY(install.waitForFinished(15000));
        QVERIFY2(install.exitCode() == 0, install.readAll().constData());

        const QDir root(prefix.path());
        const QMap<QString, QString> entry = readEntry(root.filePath("share/applications/ferrowarden.desktop"));
        QCOMPARE(readFile(root.filePath("share/applications/ferrowarden.desktop")), readFile(kEntry));
        const QFileInfo program(root.filePath("bin/" + entry.value("Exec").section(QLatin1Char(' '), 0, 0)));
        QVERIFY2(program.isFile() && program.isExecutable(), qPrintable(program.filePath()));
        const QString icon = entry.value("Icon");
        QVERIFY(root.exists("share/icons/hicolor/scalable/apps/" + icon + ".svg"));
        QVERIFY(readFile(root.filePath("share/icons/hicolor/scalable/apps/" + icon + ".svg")).contains("<svg"));
        for (const char* size : {"16x16", "32x32", "48x48", "64x64", "128x128", "256x256"})
            QVERIFY2(root.exists(QStringLiteral("share/icons/hicolor/%1/apps/%2.png").arg(QLatin1String(size), icon)),
                     size);
        QVERIFY(root.exists("share/man/man1/ferrowarden.1"));
        const QString metainfo = root.filePath("share/metainfo/org.example.Ferrowarden.metainfo.xml");
        QVERIFY(readFile(metainfo).contains("<launchable type=\"desktop-id\">ferrowarden.desktop</launchable>"));
    }

    // The desktop entry takes files; software centres accept the metainfo as it is.
    void theEntryTakesFilesAndTheMetainfoValidates()
    {
        QVERIFY(readEntry(kEntry).value("Exec").endsWith(" %F"));
        const QString validator = QStandardPaths::findExecutable(QStringLiteral("appstreamcli"));
        if (validator.isEmpty())
            QSKIP("appstreamcli is not installed");
        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start(validator, {"validate", "--no-net",
                                   FERROWARDEN_SOURCE_DIR "/src/app/resources/org.example.Ferrowarden.metainfo.xml"});
        QVERIFY(validate.waitForFinished(20000));
        QVERIFY2(validate.exitCode() == 0, validate.readAll().constData());
    }

    void theEntryValidates()
    {
        const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (validator.isEmpty())
            QSKIP("desktop-file-validate is not installed");
        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start(validator, {kEntry});
        QVERIFY(validate.waitForFinished(10000));
        const QByteArray output = validate.readAll();
        QVERIFY2(validate.exitCode() == 0 && output.trimmed().isEmpty(), output.constData());
    }
};

int main(int argc, char* argv[])
{
    FerrowardenApplication app(argc, argv);
    TestDesktopEntry test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_desktopentry.moc"
