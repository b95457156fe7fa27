// The about box: its texts and picture, the links' hover rules under real pointer moves,
// the links handed to the desktop, and the main window opening it as a modal dialog.
#include "app/about.h"
#include "app/tmainwindow.h"
#include "ferrowardenversion.h"
#include "support/modalwatcher.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

// Stands in for the desktop's browser.
class UrlRecorder : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened << url; }
};

bool highlighted(const QLabel* link)
{
    const QFont font = link->font();
    return font.bold() && font.underline() && link->palette().color(QPalette::WindowText) == QColor(0, 0, 255);
}

bool plain(const QLabel* link)
{
    const QFont font = link->font();
    return !font.bold() && !font.underline()
           && link->palette().color(QPalette::WindowText) == QApplication::palette(link).color(QPalette::WindowText);
}

} // namespace

class TestAbout : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    // Moves the pointer as a user would: through the window system to the middle of the
    // named control, or onto the dialog's own background.
    static void pointTo(TAboutDlg& about, const QString& target)
    {
        QPoint where;
        if (target == QLatin1String("background")) {
            where = QPoint(3, about.height() / 2);
            QVERIFY(!about.childAt(where));
        } else {
            auto* control = about.findChild<QWidget*>(target);
            QVERIFY2(control, qPrintable(target));
            where = control->mapTo(&about, control->rect().center());
        }
        QTest::mouseMove(about.windowHandle(), where);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("XDG_CONFIG_HOME", m_dir.filePath("cfg").toLocal8Bit());
        qputenv("FERROWARDEN_DISCOVERY_PORT", QByteArray::number(10000 + (::getpid() * 17) % 12000));
        QVERIFY(QDir::setCurrent(m_dir.path()));
    }

    void theBoxShowsItsTexts()
    {
        TAboutDlg about;
        QCOMPARE(about.windowTitle(), QStringLiteral("About Ferrowarden"));
        QCOMPARE(about.minimumSize(), about.maximumSize());
        QVERIFY(about.width() >= 368 && about.height() >= 416);
        QVERIFY(!(about.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));

        QVERIFY(about.Bevel1->frameShape() != QFrame::NoFrame);
        QVERIFY(about.Bevel1->width() >= 340 && about.Bevel1->height() >= 192);
        QCOMPARE(about.Image1->pixmap().deviceIndependentSize().toSize(), about.Bevel1->contentsRect().size());

        const QStringList label1 = about.Label1->text().split(QLatin1Char('\n'));
        QCOMPARE(label1.size(), 2);
        QCOMPARE(label1[0], QStringLiteral("Ferrowarden Version 2.0"));
        QCOMPARE(label1[0], QStringLiteral("Ferrowarden Version " FERROWARDEN_VERSION)); // one version
        QVERIFY(about.Label1->font().bold());
        QCOMPARE(about.Label2->text(), QStringLiteral("Visit the Brindlecraft website:"));
        QCOMPARE(about.Label4->text(), QStringLiteral("Ferrowarden support page:"));
        QVERIFY(about.Label6->text().startsWith(QStringLiteral("Credits:")));
        for (const QLabel* link : {about.Label3, about.Label5}) {
            QCOMPARE(QUrl(link->text()).host(), QStringLiteral("www.example.org"));
            QVERIFY(plain(link));
        }
        QCOMPARE(about.Button1->text(), QStringLiteral("&Ok"));
        QVERIFY(about.Button1->isDefault());

        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        // Everything fits inside the fixed box.
        for (QWidget* control : about.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            QVERIFY2(about.rect().contains(control->geometry()), qPrintable(control->objectName()));
        QTest::mouseClick(about.Button1, Qt::LeftButton);
        QCOMPARE(about.result(), int(QDialog::Accepted));
    }

    void linksFollowThePointer_data()
    {
        QTest::addColumn<QStringList>("path");
        QTest::addColumn<bool>("label3Highlighted");
        QTest::addColumn<bool>("label5Highlighted");
        QTest::newRow("nowhere yet") << QStringList{} << false << false;
        QTest::newRow("onto the first link") << QStringList{"Label3"} << true << false;
        QTest::newRow("onto the second link") << QStringList{"Label5"} << false << true;
        QTest::newRow("link, then background") << QStringList{"Label3", "background"} << false << false;
        QTest::newRow("link, then the button") << QStringList{"Label3", "Button1"} << true << false;
        QTest::newRow("link, then the picture") << QStringList{"Label5", "Image1"} << false << true;
        QTest::newRow("link, then another label") << QStringList{"Label5", "Label4"} << false << true;
        QTest::newRow("link, label, background") << QStringList{"Label3", "Label1", "background"} << false << false;
        QTest::newRow("both links") << QStringList{"Label3", "Label5"} << true << true;
        QTest::newRow("both links, then background") << QStringList{"Label3", "Label5", "background"} << false << false;
        QTest::newRow("background, then a link") << QStringList{"background", "Label5"} << false << true;
    }

    void linksFollowThePointer()
    {
        QFETCH(QStringList, path);
        QFETCH(bool, label3Highlighted);
        QFETCH(bool, label5Highlighted);
        TAboutDlg about;
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        for (const QString& target : path)
            pointTo(about, target);
        QCOMPARE(highlighted(about.Label3), label3Highlighted);
        QCOMPARE(plain(about.Label3), !label3Highlighted);
        QCOMPARE(highlighted(about.Label5), label5Highlighted);
        QCOMPARE(plain(about.Label5), !label5Highlighted);
    }

    void linksOpenInTheDesktopsBrowser()
    {
        UrlRecorder browser;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
        TAboutDlg about;
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QTest::mouseClick(about.Label3, Qt::LeftButton);
        QTest::mouseClick(about.Label5, Qt::LeftButton);
        QTest::mouseClick(about.Label4, Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(browser.opened, (QList<QUrl>{QUrl(QString::fromLatin1(TAboutDlg::kWebSite)),
                                              QUrl(QString::fromLatin1(TAboutDlg::kSupportPage))}));
        QVERIFY(about.isVisible());
    }

    void theMainWindowOpensItModally()
    {
        TMainWindow window;
        int shown = 0;
        ModalWatcher watcher([&](QWidget* modal) {
            auto* about = qobject_cast<TAboutDlg*>(modal);
            QVERIFY(about);
            QCOMPARE(about->parentWidget(), &window);
            ++shown;
            QTest::mouseClick(about->Button1, Qt::LeftButton);
        });
        window.About1->trigger();
        QCOMPARE(shown, 1);
        QVERIFY(window.findChildren<TAboutDlg*>().isEmpty());
    }
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
