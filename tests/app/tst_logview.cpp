// The log viewer: the whole log file of the run with its buffered lines, nothing ever
// written into it, an empty text while the log is off, and a viewer that cannot read the
// log never shown; opened from the main window as a modal dialog it owns.
#include "app/logview.h"
#include "app/tmainwindow.h"
#include "settings/sessionlog.h"
#include "support/modalwatcher.h"

#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QString asShown(QByteArray bytes)
{
    return QString::fromUtf8(bytes.replace("\r\n", "\n"));
}

} // namespace

class TestLogView : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("XDG_CONFIG_HOME", path("cfg").toLocal8Bit());
        qputenv("FERROWARDEN_DISCOVERY_PORT", QByteArray::number(10000 + (::getpid() * 13) % 12000));
        QVERIFY(QDir(m_dir.path()).mkpath("work"));
    }

    void init()
    {
        QFile::remove(path("work/fwd.txt"));
        QVERIFY(QDir::setCurrent(path("work")));
    }

    void theViewerIsTheDesignedDialog()
    {
        TProtocolViewer viewer;
        QCOMPARE(viewer.windowTitle(), QStringLiteral("Ferrowarden Protocol File"));
        QCOMPARE(viewer.minimumSize(), viewer.maximumSize());
        QVERIFY(viewer.width() >= 492 && viewer.height() >= 267);
        // The text box spans the top; the button sits under it at the right.
        QCOMPARE(viewer.Memo1->geometry().topLeft(), QPoint(0, 0));
        QCOMPARE(viewer.Memo1->width(), viewer.width());
        QVERIFY(!viewer.Memo1->isReadOnly());
        QCOMPARE(viewer.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
        QCOMPARE(viewer.Button1->text(), QStringLiteral("&Close"));
        QVERIFY(viewer.Button1->y() >= viewer.Memo1->geometry().bottom());
        QVERIFY(viewer.Button1->geometry().right() < viewer.width());
        QVERIFY(viewer.Button1->x() > viewer.width() / 2);

        viewer.show();
        QTest::mouseClick(viewer.Button1, Qt::LeftButton);
        QCOMPARE(viewer.result(), int(QDialog::Rejected));
        QVERIFY(viewer.isHidden());
    }

    void showsTheWholeFileWithItsBufferedLines()
    {
        Settings settings;
        settings.LogFile = path("work/fwd.txt");
        QFile earlier(settings.LogFile);
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("an earlier run\r\n");
        earlier.close();
        SessionLog log(settings, QStringLiteral("PC7"));
        log.OpenLogFile();
        log.LogMessage(QStringLiteral("Client has connected..."));
        log.LogMessage(QStringLiteral("still in the write buffer"));
        QVERIFY2(!readFile(settings.LogFile).contains("still in the write buffer"),
                 "precondition: the line is still buffered");

        TProtocolViewer viewer;
        viewer.LoadLog(log, settings);
        const QString text = viewer.Memo1->toPlainText();
        QVERIFY(text.startsWith(QStringLiteral("an earlier run\n\n[New Entry]\n")));
        QVERIFY(text.endsWith(QStringLiteral("\n\nClient has connected...\nstill in the write buffer")));
        QVERIFY(!text.contains(QLatin1Char('\r')));
        QCOMPARE(text, asShown(readFile(settings.LogFile)));
    }

    void viewingTwiceInARunWritesNothingExtra()
    {
        const QString logPath = path("work/fwd.txt");
        TMainWindow window;
        window.LogMessage(QStringLiteral("before viewing"));

        QStringList shown;
        QList<QByteArray> fileAfterViewing;
        ModalWatcher watcher([&](QWidget* modal) {
            auto* viewer = qobject_cast<TProtocolViewer*>(modal);
            QVERIFY(viewer);
            QCOMPARE(viewer->parentWidget(), &window);
            shown << viewer->Memo1->toPlainText();
            // Typed into the text box, never saved.
            QTest::keyClicks(viewer->Memo1, QStringLiteral("typed by the user"));
            fileAfterViewing << readFile(logPath);
            QTest::mouseClick(viewer->Button1, Qt::LeftButton);
        });
        window.Button5->click();
        window.Button5->click();

        QCOMPARE(shown.size(), 2);
        QVERIFY(shown[0].endsWith(QStringLiteral("\nbefore viewing")));
        QCOMPARE(shown[1], shown[0]);
        QCOMPARE(fileAfterViewing[1], fileAfterViewing[0]);
        QCOMPARE(asShown(fileAfterViewing[0]), shown[0]);
        QVERIFY(window.findChildren<TProtocolViewer*>().isEmpty());
        QVERIFY(window.Log().LogOpen());

        // The record goes on in the same file and is closed once.
        window.LogMessage(QStringLiteral("after viewing"));
        window.close();
        const QByteArray log = readFile(logPath);
        QVERIFY2(log.startsWith(fileAfterViewing[0] + "\r\nafter viewing\r\n\r\nSession closed "), log.constData());
        QCOMPARE(log.count("[New Entry]"), 1);
        QCOMPARE(log.count("Session closed"), 1);
        QVERIFY(!log.contains("typed"));
    }

    void aLogThatIsOffShowsAnEmptyText_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("off from the start") << "off";
        QTest::newRow("switched off during the run") << "switched off";
        QTest::newRow("could not be opened") << "unopenable";
    }

    void aLogThatIsOffShowsAnEmptyText()
    {
        QFETCH(QString, how);
        Settings settings;
        settings.LogFile = how == "unopenable" ? path("no/such/folder/fwd.txt") : path("work/fwd.txt");
        settings.CreateLog = how != "off";
        SessionLog log(settings, QStringLiteral("PC7"));
        log.OpenLogFile();
        log.LogMessage(QStringLiteral("a line"));
        if (how == "switched off")
            settings.CreateLog = false;
        log.Flush();
        const QByteArray before = readFile(path("work/fwd.txt"));

        TProtocolViewer viewer;
        viewer.LoadLog(log, settings);
        QCOMPARE(viewer.Memo1->toPlainText(), QString());
        QCOMPARE(readFile(path("work/fwd.txt")), before);
    }

    void aViewerThatCannotReadTheLogIsNotShown()
    {
        TMainWindow window;
        window.LogMessage(QStringLiteral("before the file went"));
        QVERIFY(QFile::remove(path("work/fwd.txt")));

        QStringList boxes;
        bool viewerShown = false;
        ModalWatcher watcher([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                boxes << box->text();
                box->accept();
            } else if (auto* viewer = qobject_cast<TProtocolViewer*>(modal)) {
                viewerShown = true;
                viewer->reject();
            }
        });
        window.Button5->click();

        QVERIFY(!viewerShown);
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith(QStringLiteral("Cannot open the log file ")), qPrintable(boxes[0]));
        QVERIFY(window.findChildren<TProtocolViewer*>().isEmpty());
        // Marked closed: later lines reach the list only, and nothing recreates the file.
        QVERIFY(!window.Log().LogOpen());
        const int lines = window.DebugMsgList->count();
        window.LogMessage(QStringLiteral("after"));
        QCOMPARE(window.DebugMsgList->count(), lines + 1);
        window.close();
        QVERIFY(!QFile::exists(path("work/fwd.txt")));
    }
};

QTEST_MAIN(TestLogView)
#include "tst_logview.moc"
