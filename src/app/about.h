#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

// The about box: the program's picture, version and maker, two links the desktop opens,
// and the credits. A link turns bold, underlined and blue under the pointer and stays so
// until the pointer crosses the dialog's own background.
class TAboutDlg final : public QDialog {
    Q_OBJECT

public:
    static constexpr const char* kWebSite = "https://www.example.org/";
    static constexpr const char* kSupportPage = "https://www.example.org/ferrowarden/support/";

    explicit TAboutDlg(QWidget* owner = nullptr);

    QFrame* Bevel1 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr; // link to the maker's web site
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr; // link to the support page
    QLabel* Label6 = nullptr;
    QPushButton* Button1 = nullptr; // "&Ok"

    void Label3MouseMove();
    void Label5MouseMove();
    void FormMouseMove();
    void Label3Click();
    void Label5Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    QLabel* linkLabel(const char* name, const char* address, const QString& purpose);
    void highlight(QLabel* link);
    void openLink(const QLabel* link);
};
