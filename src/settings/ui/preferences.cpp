#include "settings/ui/preferences.h"

#include "platform/apperror.h"
#include "secure/identity.h"
#include "secure/trusteddevices.h"
#include "settings/settingsregistry.h"
#include "text/printable.h"
#include "widgets/screenplace.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

const QString kSection = QString::fromLatin1(SettingsRegistry::kSection);

// The name an option is stored under, from the table LoadSettings reads by.
template <typename Option>
QString stored(const Option& setting)
{
    return QString::fromLatin1(setting.name);
}

template <typename Widget>
Widget* named(Widget* widget, const char* name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QWidget* page(const QString& name)
{
    auto* widget = new QWidget;
    widget->setObjectName(name);
    return widget;
}

// The block size as typed: a whole decimal number (leading blanks allowed), or nullopt.
std::optional<int> blocksizeFromText(const QString& text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || text.endsWith(QLatin1Char(' ')))
        return std::nullopt;
    return value;
}

} // namespace

TPreferencesDlg::TPreferencesDlg(Settings& settings, SettingsRegistry& store, QWidget* parent)
    : QDialog(parent), m_settings(settings), m_store(store)
{
    setObjectName(QStringLiteral("PreferencesDlg"));
    setWindowTitle(QStringLiteral("Preferences"));

    ListBox1 = named(new QListWidget(this), "ListBox1");
    ListBox1->addItems({QStringLiteral("General"), QStringLiteral("Logging"), QStringLiteral("Advanced"),
                        QStringLiteral("Encryption"), QStringLiteral("Secure copies")});
    ListBox1->setAccessibleName(QStringLiteral("Pages"));
    ListBox1->setMaximumWidth(ListBox1->sizeHintForColumn(0) * 2 + 16);

    Panel1 = named(new QLabel(QStringLiteral("  General"), this), "Panel1");
    QFont bold = Panel1->font();
    bold.setBold(true);
    Panel1->setFont(bold);
    Panel1->setAutoFillBackground(true);
    Panel1->setBackgroundRole(QPalette::Mid);
    Panel1->setMargin(3);

    Notebook1 = named(new QStackedWidget(this), "Notebook1");
    Notebook1->addWidget(buildGeneralPage());
    Notebook1->addWidget(buildLoggingPage());
    Notebook1->addWidget(buildAdvancedPage());
    Notebook1->addWidget(buildEncryptionPage());
    Notebook1->addWidget(buildSecurePage());

    Button1 = named(new QPushButton(QStringLiteral("&Ok"), this), "Button1");
    Button2 = named(new QPushButton(QStringLiteral("&Cancel"), this), "Button2");
    Button3 = named(new QPushButton(QStringLiteral("&Help"), this), "Button3");
    for (QPushButton* button : {Button1, Button2, Button3}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    auto* right = new QVBoxLayout;
    right->addWidget(Panel1);
    right->addWidget(Notebook1, 1);
    auto* top = new QHBoxLayout;
    top->addWidget(ListBox1);
    top->addLayout(right, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    buttons->addWidget(Button3);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addLayout(buttons);

    connect(ListBox1, &QListWidget::currentRowChanged, this, [this] { ListBox1Click(); });
    connect(CheckBox4, &QCheckBox::toggled, this, [this] { CheckBox4Click(); });
    connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
    connect(Button1, &QPushButton::clicked, this, [this] {
        try {
            Button1Click();
        } catch (const AppError& error) {
            // As for any failing handler: the box, and the dialog stays open.
            QMessageBox::critical(this, QStringLiteral("Ferrowarden"), error.message());
        }
    });
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
    connect(Button3, &QPushButton::clicked, this, [this] {
        if (OnHelp)
            OnHelp();
    });

    // FormCreate: the General page.
    ListBox1->setCurrentRow(0);
    Notebook1->setCurrentIndex(0);
    setFixedSize(sizeHint().expandedTo(QSize(440, 260)));
    CenterOnScreen(this);
}

QWidget* TPreferencesDlg::buildGeneralPage()
{
    QWidget* general = page(QStringLiteral("General"));
    CheckBox1 =
        named(new QCheckBox(QStringLiteral("Show all kinds of files (including hidden and system files)"), general),
              "CheckBox1");
    CheckBox2 = named(new QCheckBox(QStringLiteral("Show messages while copying"), general), "CheckBox2");
    CheckBox3 = named(new QCheckBox(QStringLiteral("Auto-search available sessions at startup"), general), "CheckBox3");
    KeepPartialsBox = named(new QCheckBox(QStringLiteral("Keep files that are cut off, so that the next copy "
                                                         "goes on where it stopped"),
                                          general),
                            "KeepPartialsBox");
    auto* layout = new QVBoxLayout(general);
    layout->addWidget(CheckBox1);
    layout->addWidget(CheckBox2);
    layout->addWidget(CheckBox3);
    layout->addWidget(KeepPartialsBox);
    layout->addStretch(1);
    return general;
}

QWidget* TPreferencesDlg::buildLoggingPage()
{
    QWidget* logging = page(QStringLiteral("Logging"));
    CheckBox4 = named(new QCheckBox(QStringLiteral("Create logfile"), logging), "CheckBox4");
    Label1 = named(new QLabel(QStringLiteral("Filename:"), logging), "Label1");
    Edit1 = named(new QLineEdit(logging), "Edit1");
    Edit1->setEnabled(false);
    Label1->setBuddy(Edit1);
    CheckBox5 =
        named(new QCheckBox(QStringLiteral("Append data to file (Not selecting will overwrite old logfile)"), logging),
              "CheckBox5");
    CheckBox5->setEnabled(false);
    auto* layout = new QGridLayout(logging);
    layout->addWidget(CheckBox4, 0, 0, 1, 2);
    layout->addWidget(Label1, 1, 0);
    layout->addWidget(Edit1, 1, 1);
    layout->addWidget(CheckBox5, 2, 0, 1, 2);
    layout->setRowStretch(3, 1);
    return logging;
}

QWidget* TPreferencesDlg::buildAdvancedPage()
{
    QWidget* advanced = page(QStringLiteral("Advanced"));
    Label2 = named(new QLabel(QStringLiteral("These options are for experienced users only and can  "
                                             "influence the speed and/or safety of a connection!"),
                              advanced),
                   "Label2");
    QFont bold = Label2->font();
    bold.setBold(true);
    Label2->setFont(bold);
    Label2->setWordWrap(true);
    Label3 = named(new QLabel(QStringLiteral("Blocksize:"), advanced), "Label3");
    ComboBox1 = named(new QComboBox(advanced), "ComboBox1");
    ComboBox1->setEditable(true);
    ComboBox1->addItems({QStringLiteral("2048"), QStringLiteral("1024"), QStringLiteral("576")});
    ComboBox1->setInsertPolicy(QComboBox::NoInsert);
    Label3->setBuddy(ComboBox1);
    ComboBox1->setAccessibleName(QStringLiteral("Block size"));
    Label4 = named(new QLabel(QStringLiteral("Protocol:"), advanced), "Label4");
    ComboBox2 = named(new QComboBox(advanced), "ComboBox2");
    ComboBox2->setEditable(true);
    ComboBox2->addItems({QStringLiteral("TCP/IP"), QStringLiteral("IPX")});
    ComboBox2->setInsertPolicy(QComboBox::NoInsert);
    Label4->setBuddy(ComboBox2);
    ComboBox2->setAccessibleName(QStringLiteral("Protocol"));
    Button4 = named(new QPushButton(QStringLiteral("Default"), advanced), "Button4");
    Button4->setAutoDefault(false);
    auto* layout = new QGridLayout(advanced);
    layout->addWidget(Label2, 0, 0, 1, 3);
    layout->addWidget(Label3, 1, 0);
    layout->addWidget(ComboBox1, 1, 1);
    layout->addWidget(Label4, 2, 0);
    layout->addWidget(ComboBox2, 2, 1);
    layout->addWidget(Button4, 3, 1, Qt::AlignLeft);
    layout->setColumnStretch(2, 1);
    layout->setRowStretch(4, 1);
    return advanced;
}

QWidget* TPreferencesDlg::buildEncryptionPage()
{
    QWidget* encryption = page(QStringLiteral("Encryption"));
    Label5 = named(new QLabel(QStringLiteral("Files can be encrypted when transferring them. This ensures "
                                             "the highest possible safety. Using encryption may slow down "
                                             "the file transfer."),
                              encryption),
                   "Label5");
    Label5->setWordWrap(true);
    CheckBox6 = named(new QCheckBox(QStringLiteral("Use encryption with random keywords"), encryption), "CheckBox6");
    auto* older = new QLabel(QStringLiteral("This cipher is used only with a program of an earlier version. "
                                            "Between two of this version every copy is encrypted and "
                                            "authenticated (AES-256-GCM or ChaCha20-Poly1305)."),
                             encryption);
    older->setWordWrap(true);
    auto* layout = new QVBoxLayout(encryption);
    layout->addWidget(Label5);
    layout->addWidget(CheckBox6);
    layout->addWidget(older);
    layout->addStretch(1);
    return encryption;
}

QWidget* TPreferencesDlg::buildSecurePage()
{
    QWidget* secure = page(QStringLiteral("Secure copies"));
    auto* policyLabel = new QLabel(QStringLiteral("Who may send to this PC when it hosts a session:"), secure);
    AcceptPolicyBox = named(new QComboBox(secure), "AcceptPolicyBox");
    AcceptPolicyBox->addItems({QStringLiteral("Anyone (open)"),
                               QStringLiteral("Trusted devices, or with the pairing code (paired)"),
                               QStringLiteral("Trusted devices only (trusted)")});
    policyLabel->setBuddy(AcceptPolicyBox);
    FingerprintLabel = named(new QLabel(secure), "FingerprintLabel");
    FingerprintLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    TrustedDeviceList = named(new QListWidget(secure), "TrustedDeviceList");
    TrustedDeviceList->setAccessibleName(QStringLiteral("Trusted devices"));
    // A few rows fit the dialog's size; more scroll.
    TrustedDeviceList->setFixedHeight(TrustedDeviceList->fontMetrics().height() * 4 + 8);
    RemoveDeviceButton = named(new QPushButton(QStringLiteral("&Remove"), secure), "RemoveDeviceButton");
    connect(RemoveDeviceButton, &QPushButton::clicked, this, &TPreferencesDlg::RemoveDeviceClick);
    auto* layout = new QVBoxLayout(secure);
    layout->addWidget(policyLabel);
    layout->addWidget(AcceptPolicyBox);
    layout->addWidget(FingerprintLabel);
    layout->addWidget(new QLabel(QStringLiteral("Trusted devices (name, fingerprint, last copy):"), secure));
    auto* list = new QHBoxLayout;
    list->addWidget(TrustedDeviceList, 1);
    list->addWidget(RemoveDeviceButton, 0, Qt::AlignTop);
    layout->addLayout(list);
    layout->addStretch(1);
    return secure;
}

void TPreferencesDlg::showTrustedDevices()
{
    TrustedDeviceList->clear();
    try {
        // Only shown, never made here: the first secure copy makes the key.
        FingerprintLabel->setText(QFile::exists(Identity::defaultFilePath())
                                      ? QStringLiteral("This device's fingerprint: ")
                                            + Identity::LoadOrCreate().fingerprint()
                                      : QStringLiteral("This device gets its key with its first secure copy"));
        for (const TrustedDevice& device : TrustedDevices().list()) {
            auto* item = new QListWidgetItem(
                QStringLiteral("%1    %2    last seen %3")
                    .arg(Printable(device.name), Identity::Fingerprint(device.key),
                         device.lastSeen.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))),
                TrustedDeviceList);
            item->setData(Qt::UserRole, device.name);
        }
    } catch (const AppError& error) {
        FingerprintLabel->setText(error.message());
    }
    RemoveDeviceButton->setEnabled(TrustedDeviceList->count() > 0);
}

void TPreferencesDlg::RemoveDeviceClick()
{
    const QListWidgetItem* item = TrustedDeviceList->currentItem();
    if (!item)
        return;
    TrustedDevices().forget(item->data(Qt::UserRole).toString());
    showTrustedDevices();
}

void TPreferencesDlg::showEvent(QShowEvent* event)
{
    FormShow();
    QDialog::showEvent(event);
}

void TPreferencesDlg::keyPressEvent(QKeyEvent* event)
{
    // Neither Enter nor Escape stands for a button here.
    if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TPreferencesDlg::FormShow()
{
    CheckBox2->setChecked(m_settings.ShowMessages);
    CheckBox1->setChecked(m_settings.ExtFileList);
    CheckBox3->setChecked(m_settings.AutoSearch);
    KeepPartialsBox->setChecked(m_settings.KeepPartials);
    CheckBox4->setChecked(m_settings.CreateLog);
    Edit1->setText(m_settings.LogFile);
    CheckBox5->setChecked(m_settings.AppendLogData);
    CheckBox4Click();
    if (m_settings.Encrypt)
        CheckBox6->setChecked(true);
    ComboBox1->setCurrentText(QString::number(m_settings.Blocksize));
    ComboBox2->setCurrentText(TransportText(m_settings.Transport));
    AcceptPolicyBox->setCurrentIndex(m_settings.AcceptPolicy);
    showTrustedDevices();
}

void TPreferencesDlg::ListBox1Click()
{
    const QListWidgetItem* item = ListBox1->currentItem();
    if (!item)
        return;
    for (int i = 0; i < Notebook1->count(); ++i) {
        if (Notebook1->widget(i)->objectName() == item->text())
            Notebook1->setCurrentIndex(i);
    }
    Panel1->setText(QStringLiteral("  ") + item->text());
}

void TPreferencesDlg::CheckBox4Click()
{
    Edit1->setEnabled(CheckBox4->isChecked());
    CheckBox5->setEnabled(CheckBox4->isChecked());
}

void TPreferencesDlg::Button4Click()
{
    ComboBox1->setCurrentText(QStringLiteral("2048"));
    ComboBox2->setCurrentText(QStringLiteral("TCP/IP"));
}

void TPreferencesDlg::Button1Click()
{
    const QString blocksizeText = ComboBox1->currentText();
    const std::optional<int> blocksize = blocksizeFromText(blocksizeText);
    // A block size no packet can carry is refused before anything is stored.
    if (blocksize && (*blocksize < 1 || *blocksize > 2048)) {
        QMessageBox::information(this, windowTitle(),
                                 QStringLiteral("The block size must lie between 1 and 2048 bytes."));
        return;
    }

    m_settings.ExtFileList = CheckBox1->isChecked();
    m_store.StoreFlag(kSection, stored(Setting::ExtFileList), m_settings.ExtFileList);
    m_settings.ShowMessages = CheckBox2->isChecked();
    m_store.StoreFlag(kSection, stored(Setting::ShowMessages), m_settings.ShowMessages);
    m_settings.AutoSearch = CheckBox3->isChecked();
    m_store.StoreFlag(kSection, stored(Setting::AutoSearch), m_settings.AutoSearch);
    m_settings.KeepPartials = KeepPartialsBox->isChecked();
    m_store.StoreFlag(kSection, stored(Setting::KeepPartials), m_settings.KeepPartials);
    if (CheckBox4->isChecked()) {
        m_settings.CreateLog = true;
        m_store.StoreFlag(kSection, stored(Setting::CreateLog), true);
        if (Edit1->text().isEmpty())
            Edit1->setText(QString::fromLatin1(Setting::LogFile.defaultValue));
        m_settings.LogFile = Edit1->text();
        m_store.StoreText(kSection, stored(Setting::LogFile), m_settings.LogFile);
        m_settings.AppendLogData = CheckBox5->isChecked();
        m_store.StoreFlag(kSection, stored(Setting::AppendLogData), m_settings.AppendLogData);
    } else {
        m_settings.CreateLog = false;
        m_store.StoreFlag(kSection, stored(Setting::CreateLog), false);
    }

    if (!blocksize)
        throw AppError(QStringLiteral("'%1' is not a valid integer value").arg(blocksizeText));
    const QString protocol = ComboBox2->currentText();
    const bool changed = (m_settings.Transport == trIPX && protocol != QLatin1String("IPX"))
                         || (m_settings.Transport == trTCPIP && protocol != QLatin1String("TCP/IP"))
                         || *blocksize != m_settings.Blocksize;
    m_store.StoreText(kSection, stored(Setting::Transport), protocol);
    m_store.StoreNumber(kSection, stored(Setting::Blocksize), *blocksize);
    m_settings.Blocksize = static_cast<qint16>(*blocksize);
    m_settings.Transport = TransportFromText(protocol);
    if (changed && OnConnectionSettingsChanged)
        OnConnectionSettingsChanged();
    m_settings.Encrypt = CheckBox6->isChecked();
    m_store.StoreFlag(kSection, stored(Setting::Encrypt), m_settings.Encrypt);
    m_settings.AcceptPolicy = static_cast<qint16>(AcceptPolicyBox->currentIndex());
    m_store.StoreNumber(kSection, stored(Setting::AcceptPolicy), m_settings.AcceptPolicy);
    accept();
}
