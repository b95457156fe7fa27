// The preferences dialog against a real settings store: what OK stores and in which order
// it gives up, what Cancel leaves alone.
#include "platform/apperror.h"
#include "platform/registry/registry.h"
#include "secure/identity.h"
#include "secure/trusteddevices.h"
#include "settings/settingsregistry.h"
#include "settings/ui/preferences.h"
#include "support/boxcatcher.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kKey = QStringLiteral("Software\\Brindlecraft\\Ferrowarden");
const QStringList kAllValues = {"ExtFileList",   "ShowMessages", "AutoSearch", "CreateLog", "LogFile",
                                "AppendLogData", "Protocol",     "Blocksize",  "Encrypt"};

} // namespace

class TestPreferences : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<Registry> m_registry;
    std::unique_ptr<SettingsRegistry> m_store;
    Settings m_settings;
    int m_resets = 0;

    QStringList storedValues() const
    {
        QStringList names;
        for (const QString& name : kAllValues) {
            if (m_registry->valueType(kKey, name))
                names << name;
        }
        return names;
    }

    std::unique_ptr<TPreferencesDlg> dialog()
    {
        auto made = std::make_unique<TPreferencesDlg>(m_settings, *m_store);
        made->OnConnectionSettingsChanged = [this] { ++m_resets; };
        made->FormShow();
        return made;
    }

private slots:
    void initTestCase()
    {
        // The trusted devices and the identity key live in a config folder of the test's own.
        qputenv("XDG_CONFIG_HOME", m_dir.filePath("cfg").toLocal8Bit());
    }

    void init()
    {
        QFile::remove(m_dir.filePath("registry.json"));
        m_registry = std::make_unique<Registry>(m_dir.filePath("registry.json"));
        m_store = std::make_unique<SettingsRegistry>(*m_registry);
        m_settings = Settings{};
        m_resets = 0;
    }

    void okWithoutChangesStoresEveryShownOption_data()
    {
        QTest::addColumn<bool>("createLog");
        QTest::addColumn<QStringList>("stored");
        QTest::newRow("logging on") << true << kAllValues;
        QStringList seven = kAllValues;
        seven.removeAll("LogFile");
        seven.removeAll("AppendLogData");
        QTest::newRow("logging off") << false << seven;
    }

    void okWithoutChangesStoresEveryShownOption()
    {
        QFETCH(bool, createLog);
        QFETCH(QStringList, stored);
        m_settings.CreateLog = createLog;
        auto dlg = dialog();
        QCOMPARE(dlg->Edit1->isEnabled(), createLog);
        QCOMPARE(dlg->CheckBox5->isEnabled(), createLog);
        dlg->Button1Click();
        QCOMPARE(dlg->result(), int(QDialog::Accepted));
        QCOMPARE(storedValues(), stored);
        QCOMPARE(m_registry->readText(kKey, "Protocol"), std::optional<QString>("TCP/IP"));
        QCOMPARE(m_registry->readText(kKey, "Blocksize"), std::optional<QString>("2048"));
        QCOMPARE(m_resets, 0);
    }

    void theAcceptPolicyIsStoredAndRemoveForgetsATrustedDevice()
    {
        const Identity laptop = Identity::Generate();
        TrustedDevices().add("laptop", laptop.publicKey());
        TrustedDevices().add("desk", Identity::Generate().publicKey());
        auto dlg = dialog();
        QCOMPARE(dlg->TrustedDeviceList->count(), 2);
        QVERIFY(dlg->TrustedDeviceList->item(1)->text().contains(laptop.fingerprint()));
        QVERIFY(dlg->FingerprintLabel->text().contains("first secure copy")); // no key made by looking
        dlg->TrustedDeviceList->setCurrentRow(1);
        QTest::mouseClick(dlg->RemoveDeviceButton, Qt::LeftButton);
        QCOMPARE(dlg->TrustedDeviceList->count(), 1);
        QCOMPARE(TrustedDevices().check("laptop", laptop.publicKey()).standing, TrustedDevices::Standing::Unknown);

        dlg->AcceptPolicyBox->setCurrentIndex(1);
        dlg->Button1Click();
        QCOMPARE(m_settings.AcceptPolicy, qint16(1));
        QCOMPARE(LoadSettings(*m_store).AcceptPolicy, qint16(1));
        TrustedDevices().forget("desk");
    }

    void anEmptyLogFileNameBecomesTheDefault()
    {
        auto dlg = dialog();
        dlg->Edit1->clear();
        dlg->Button1Click();
        QCOMPARE(m_settings.LogFile, QStringLiteral("fwd.txt"));
        QCOMPARE(m_registry->readText(kKey, "LogFile"), std::optional<QString>("fwd.txt"));
    }

    void theChangeTestResetsTheTransferView_data()
    {
        QTest::addColumn<QString>("blocksize");
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<int>("resets");
        QTest::addColumn<int>("transport");
        QTest::newRow("same again") << "2048"
                                    << "TCP/IP" << 0 << int(trTCPIP);
        QTest::newRow("block size") << "1024"
                                    << "TCP/IP" << 1 << int(trTCPIP);
        QTest::newRow("transport") << "2048"
                                   << "IPX" << 1 << int(trIPX);
        // Lower-case text is stored as typed, and reads as TCP/IP.
        QTest::newRow("lower-case ipx") << "2048"
                                        << "ipx" << 1 << int(trTCPIP);
    }

    void theChangeTestResetsTheTransferView()
    {
        QFETCH(QString, blocksize);
        QFETCH(QString, protocol);
        QFETCH(int, resets);
        QFETCH(int, transport);
        auto dlg = dialog();
        dlg->ComboBox1->setCurrentText(blocksize);
        dlg->ComboBox2->setCurrentText(protocol);
        dlg->Button1Click();
        QCOMPARE(m_resets, resets);
        QCOMPARE(int(m_settings.Transport), transport);
        QCOMPARE(m_settings.Blocksize, qint16(blocksize.toInt()));
        QCOMPARE(m_registry->readText(kKey, "Protocol"), std::optional<QString>(protocol));
        QCOMPARE(int(LoadSettings(*m_store).Transport), transport);
    }

    void lettersInTheBlockSizeKeepTheDialogOpenAfterTheFirstOptions()
    {
        auto dlg = dialog();
        dlg->CheckBox1->setChecked(true);
        dlg->ComboBox1->setCurrentText("big");
        dlg->ComboBox2->setCurrentText("IPX");
        dlg->CheckBox6->setChecked(true);
        QVERIFY_THROWS_EXCEPTION(AppError, dlg->Button1Click());
        QCOMPARE(dlg->result(), 0);
        QVERIFY(m_settings.ExtFileList);
        QCOMPARE(storedValues(),
                 (QStringList{"ExtFileList", "ShowMessages", "AutoSearch", "CreateLog", "LogFile", "AppendLogData"}));
        QCOMPARE(m_settings.Transport, trTCPIP);
        QVERIFY(!m_settings.Encrypt);

        // Through the button: the error box, the dialog still open.
        BoxCatcher boxes;
        dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(dlg.get()));
        dlg->ComboBox1->setCurrentText("big"); // showing filled the controls afresh
        QTest::mouseClick(dlg->Button1, Qt::LeftButton);
        QTRY_COMPARE(boxes.texts, QStringList{"'big' is not a valid integer value"});
        QVERIFY(dlg->isVisible());
    }

    void aBlockSizeOutsideTheRangeIsRefusedBeforeAnythingIsStored_data()
    {
        QTest::addColumn<QString>("blocksize");
        QTest::newRow("0") << "0";
        QTest::newRow("2049") << "2049";
        QTest::newRow("-5") << "-5";
        QTest::newRow("65535") << "65535";
    }

    void aBlockSizeOutsideTheRangeIsRefusedBeforeAnythingIsStored()
    {
        QFETCH(QString, blocksize);
        auto dlg = dialog();
        dlg->CheckBox1->setChecked(true);
        dlg->ComboBox1->setCurrentText(blocksize);
        BoxCatcher boxes;
        dlg->Button1Click();
        QCOMPARE(boxes.texts.size(), 1);
        QVERIFY(boxes.texts[0].contains("between 1 and 2048"));
        QVERIFY(storedValues().isEmpty());
        QVERIFY(!m_settings.ExtFileList);
        QCOMPARE(dlg->result(), 0);
    }

    // Like the other dialogs, it opens in the middle of the screen, not over its parent.
    void itOpensCentredOnTheScreen()
    {
        QWidget main;
        main.setGeometry(10, 10, 200, 150);
        main.show();
        TPreferencesDlg dlg(m_settings, *m_store, &main);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const QPoint middle = dlg.screen()->availableGeometry().center();
        // Within the frame's few pixels: the window's size is centred before it has one.
        QVERIFY2((dlg.frameGeometry().center() - middle).manhattanLength() <= 8,
                 qPrintable(QStringLiteral("at %1,%2").arg(dlg.x()).arg(dlg.y())));
        dlg.reject();
    }

    void defaultThenCancelChangesNothing()
    {
        m_settings.Blocksize = 576;
        m_settings.Transport = trIPX;
        auto dlg = dialog();
        QCOMPARE(dlg->ComboBox1->currentText(), QStringLiteral("576"));
        QCOMPARE(dlg->ComboBox2->currentText(), QStringLiteral("IPX"));
        dlg->Button4Click();
        QCOMPARE(dlg->ComboBox1->currentText(), QStringLiteral("2048"));
        QCOMPARE(dlg->ComboBox2->currentText(), QStringLiteral("TCP/IP"));
        dlg->reject();
        QVERIFY(storedValues().isEmpty());
        QCOMPARE(m_settings.Blocksize, qint16(576));
        QCOMPARE(m_settings.Transport, trIPX);
    }
};

QTEST_MAIN(TestPreferences)
#include "tst_preferences.moc"
