// The window position store with a real window and a real settings store: first run, the
// screen-edge rules, and what a close stores.
#include "platform/registry/registry.h"
#include "settings/ui/formpos.h"

#include <QScreen>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

class TestFormPosition : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<Registry> m_registry;

    QString key() const { return "Software\\Brindlecraft\\" + QCoreApplication::applicationName() + "\\Probe"; }

    std::unique_ptr<QWidget> probe()
    {
        auto window = std::make_unique<QWidget>();
        window->setObjectName("Probe");
        window->resize(200, 100);
        window->move(30, 40);
        return window;
    }

    void store(int left, int top, int width, int height, const QString& state = "Normal")
    {
        m_registry->writeNumber(key(), "XPos", left);
        m_registry->writeNumber(key(), "YPos", top);
        m_registry->writeNumber(key(), "XSize", width);
        m_registry->writeNumber(key(), "YSize", height);
        m_registry->writeText(key(), "State", state);
    }

    QSize screen() const { return QGuiApplication::primaryScreen()->geometry().size(); }

private slots:
    void init()
    {
        QFile::remove(m_dir.filePath("registry.json"));
        m_registry = std::make_unique<Registry>(m_dir.filePath("registry.json"));
    }

    void firstRunKeepsThePlaceAndStoresOnlyAMove()
    {
        {
            auto window = probe();
            TFormPosition position(window.get(), *m_registry);
            position.Depot = TFormPosition::dpRegistry;
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window.get()));
            QCOMPARE(window->pos(), QPoint(30, 40));
            window->close();
        }
        QVERIFY(!m_registry->keyExists(key()));

        auto window = probe();
        TFormPosition position(window.get(), *m_registry);
        position.Depot = TFormPosition::dpRegistry;
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        window->move(120, 90);
        QVERIFY(window->close());
        QCOMPARE(m_registry->readNumber(key(), "XPos"), std::optional<qint32>(120));
        QCOMPARE(m_registry->readNumber(key(), "YPos"), std::optional<qint32>(90));
        QCOMPARE(m_registry->readNumber(key(), "XSize"), std::optional<qint32>(200));
        QCOMPARE(m_registry->readNumber(key(), "YSize"), std::optional<qint32>(100));
        QCOMPARE(m_registry->readText(key(), "State"), std::optional<QString>("Normal"));
    }

    void restoreKeepsTheWindowReachable_data()
    {
        const QSize s = QGuiApplication::primaryScreen()->geometry().size();
        QTest::addColumn<QPoint>("stored");
        QTest::addColumn<QPoint>("placed");
        QTest::newRow("inside") << QPoint(50, 60) << QPoint(50, 60);
        QTest::newRow("past the right edge") << QPoint(s.width() + 100, 60) << QPoint(s.width() - 200, 60);
        QTest::newRow("20 from the right edge") << QPoint(s.width() - 20, 60) << QPoint(s.width() - 200, 60);
        QTest::newRow("21 from the right edge stays") << QPoint(s.width() - 21, 60) << QPoint(s.width() - 21, 60);
        QTest::newRow("below the bottom") << QPoint(50, s.height() - 50) << QPoint(50, s.height() - 100);
        QTest::newRow("negative stays") << QPoint(-30, -10) << QPoint(-30, -10);
    }

    void restoreKeepsTheWindowReachable()
    {
        QFETCH(QPoint, stored);
        QFETCH(QPoint, placed);
        store(stored.x(), stored.y(), 200, 100);
        auto window = probe();
        TFormPosition position(window.get(), *m_registry);
        position.Depot = TFormPosition::dpRegistry;
        position.RestorePosition();
        QCOMPARE(window->pos(), placed);
        QVERIFY(!position.PositionChanged());
    }

    void zeroSizeCountsAsNothingStored()
    {
        store(500, 500, 0, 0);
        auto window = probe();
        TFormPosition position(window.get(), *m_registry);
        position.Depot = TFormPosition::dpRegistry;
        position.RestorePosition();
        QCOMPARE(window->pos(), QPoint(30, 40));
    }

    void aStateChangeAloneStoresNothing()
    {
        store(50, 60, 200, 100);
        auto window = probe();
        TFormPosition position(window.get(), *m_registry);
        position.Depot = TFormPosition::dpRegistry;
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        m_registry->writeText(key(), "State", "Sentinel");
        window->setWindowState(Qt::WindowMinimized);
        window->close();
        QCOMPARE(m_registry->readText(key(), "State"), std::optional<QString>("Sentinel"));
    }

    // What counts as unchanged at close is the restored place: a window the window system
    // put elsewhere after showing it is stored where it stands.
    void aWindowPutElsewhereAfterTheRestoreIsStoredWhereItStands()
    {
        store(50, 60, 200, 100);
        auto window = probe();
        TFormPosition position(window.get(), *m_registry);
        position.Depot = TFormPosition::dpRegistry;
        position.RestoreBeforeShow();
        QCOMPARE(window->pos(), QPoint(50, 60));
        window->show();
        window->move(51, 80);
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QVERIFY(window->close());
        QCOMPARE(m_registry->readNumber(key(), "XPos"), std::optional<qint32>(51));
        QCOMPARE(m_registry->readNumber(key(), "YPos"), std::optional<qint32>(80));
    }

    void aWindowBeyondTheScreenStoresZero()
    {
        auto window = probe();
        TFormPosition position(window.get(), *m_registry);
        position.Depot = TFormPosition::dpRegistry;
        window->move(screen().width() + 5, -7);
        position.SavePosition();
        QCOMPARE(m_registry->readNumber(key(), "XPos"), std::optional<qint32>(0));
        QCOMPARE(m_registry->readNumber(key(), "YPos"), std::optional<qint32>(-7));
    }

    void aValueOfTheWrongTypeStopsTheRestoreBeforeAnythingMoves()
    {
        store(50, 60, 200, 100);
        m_registry->writeText(key(), "XSize", "wide");
        auto window = probe();
        TFormPosition position(window.get(), *m_registry);
        position.Depot = TFormPosition::dpRegistry;
        QVERIFY_THROWS_EXCEPTION(std::exception, position.RestorePosition());
        QCOMPARE(window->pos(), QPoint(30, 40));
    }

    void theIniDepotKeepsThePositionToo()
    {
        const QString ini = m_dir.filePath("place.ini");
        {
            auto window = probe();
            TFormPosition position(window.get(), *m_registry);
            position.IniFileName = ini;
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window.get()));
            window->move(70, 80);
            window->close();
        }
        auto window = probe();
        TFormPosition position(window.get(), *m_registry);
        position.IniFileName = ini;
        window->show();
        QCOMPARE(window->pos(), QPoint(70, 80));
        QVERIFY(!m_registry->keyExists(key()));
    }
};

QTEST_MAIN(TestFormPosition)
#include "tst_formpos.moc"
