#include "app/logview.h"

#include "app/dialoggeometry.h"
#include "settings/sessionlog.h"
#include "settings/settings.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>

namespace {

// The design's client area, the text box across its top and the button's place.
constexpr int kClientWidth = 492;
constexpr int kClientHeight = 267;
constexpr int kMemoHeight = 217;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kButtonMargin = 8;

} // namespace

TProtocolViewer::TProtocolViewer(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                         | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("ProtocolViewer"));
    setWindowTitle(QStringLiteral("Ferrowarden Protocol File"));

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setAccessibleName(QStringLiteral("Log file"));
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    Button1 = new QPushButton(QStringLiteral("&Close"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setAutoDefault(false);
    connect(Button1, &QPushButton::clicked, this, &TProtocolViewer::Button1Click);

    const double scale = DesignScale(*this);
    const QSize client(Scaled(kClientWidth, scale), Scaled(kClientHeight, scale));
    const int memoHeight = Scaled(kMemoHeight, scale);
    Memo1->setGeometry(0, 0, client.width(), memoHeight);
    const QSize button =
        QSize(Scaled(kButtonWidth, scale), Scaled(kButtonHeight, scale)).expandedTo(Button1->sizeHint());
    const int margin = Scaled(kButtonMargin, scale);
    Button1->setGeometry(client.width() - margin - button.width(),
                         memoHeight + (client.height() - memoHeight - button.height()) / 2, button.width(),
                         button.height());
    setFixedSize(client);
    CenterOnScreen(this);
}

void TProtocolViewer::LoadLog(SessionLog& log, const Settings& settings)
{
    if (!settings.CreateLog || !log.LogOpen())
        return;
    QString text = QString::fromUtf8(log.Reload());
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    Memo1->setPlainText(text);
    // This run's record is the last one in the file.
    Memo1->moveCursor(QTextCursor::End);
}

void TProtocolViewer::Button1Click()
{
    reject();
}
