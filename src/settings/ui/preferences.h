#pragma once

#include "settings/settings.h"

#include <QDialog>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QStackedWidget;
class SettingsRegistry;

// The dialog in which the user changes the nine options, the only writer of the settings:
// OK sets each field and stores its value, option by option, in that order; Cancel (or the
// close box) writes nothing. Only the block size is checked: a text that is not a number
// keeps the dialog open with the general and logging options already stored; a number
// outside 1 to 2048 is refused before anything is stored.
class TPreferencesDlg final : public QDialog {
    Q_OBJECT

public:
    TPreferencesDlg(Settings& settings, SettingsRegistry& store, QWidget* parent = nullptr);

    // Called by OK when the block size or the transport changed (the main window's
    // ResetTransferView).
    std::function<void()> OnConnectionSettingsChanged;
    // Called by "Help" (the help topic of this dialog).
    std::function<void()> OnHelp;

    QListWidget* ListBox1 = nullptr;
    QLabel* Panel1 = nullptr;
    QStackedWidget* Notebook1 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QCheckBox* CheckBox2 = nullptr;
    QCheckBox* CheckBox3 = nullptr;
    QCheckBox* KeepPartialsBox = nullptr;
    QCheckBox* CheckBox4 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QCheckBox* CheckBox5 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    QLabel* Label4 = nullptr;
    QComboBox* ComboBox2 = nullptr;
    QPushButton* Button4 = nullptr;
    QLabel* Label5 = nullptr;
    QCheckBox* CheckBox6 = nullptr;
    // Secure copies, on a page of their own: who may send, this device's fingerprint, and
    // the trusted devices with a button that forgets the selected one.
    QComboBox* AcceptPolicyBox = nullptr;
    QLabel* FingerprintLabel = nullptr;
    QListWidget* TrustedDeviceList = nullptr;
    QPushButton* RemoveDeviceButton = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button3 = nullptr;

    void FormShow();
    void ListBox1Click();
    void CheckBox4Click();
    void Button4Click();
    // Throws AppError when the block size is not a number (the dialog stays open).
    void Button1Click();
    // Forgets the trusted device selected in the list (it needs pairing again).
    void RemoveDeviceClick();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QWidget* buildGeneralPage();
    QWidget* buildLoggingPage();
    QWidget* buildAdvancedPage();
    QWidget* buildEncryptionPage();
    QWidget* buildSecurePage();
    void showTrustedDevices();

    Settings& m_settings;
    SettingsRegistry& m_store;
};
