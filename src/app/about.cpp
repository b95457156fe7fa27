#include "app/about.h"

#include "app/aboutpicture.h"
#include "app/dialoggeometry.h"
#include "ferrowardenversion.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// The design's client area and picture.
constexpr int kClientWidth = 368;
constexpr int kClientHeight = 416;
constexpr int kPictureWidth = 340;
constexpr int kPictureHeight = 192;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

const QColor kLinkColour(0, 0, 255);

QLabel* plainLabel(QWidget* parent, const char* name, const QString& text)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

TAboutDlg::TAboutDlg(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                         | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("AboutDlg"));
    setWindowTitle(QStringLiteral("About Ferrowarden"));
    // Moves over the background reach FormMouseMove without a button held.
    setMouseTracking(true);
    const double scale = DesignScale(*this);

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Bevel1->setFixedSize(Scaled(kPictureWidth, scale), Scaled(kPictureHeight, scale));
    Image1 = new QLabel(Bevel1);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setAccessibleName(QStringLiteral("Ferrowarden picture"));
    const QRect inside = Bevel1->contentsRect();
    Image1->setGeometry(inside);
    Image1->setPixmap(PaintAboutPicture(inside.size(), devicePixelRatioF()));

    Label1 = plainLabel(this, "Label1", QStringLiteral("Ferrowarden Version " FERROWARDEN_VERSION "\nby Brindlecraft"));
    QFont bold = Label1->font();
    bold.setBold(true);
    Label1->setFont(bold);
    Label2 = plainLabel(this, "Label2", QStringLiteral("Visit the Brindlecraft website:"));
    Label3 = linkLabel("Label3", kWebSite, QStringLiteral("Brindlecraft website"));
    Label4 = plainLabel(this, "Label4", QStringLiteral("Ferrowarden support page:"));
    Label5 = linkLabel("Label5", kSupportPage, QStringLiteral("Ferrowarden support page"));
    Label6 = plainLabel(this, "Label6", QStringLiteral("Credits: the Ferrowarden team, with Qt for the windows."));
    Label6->setWordWrap(true);

    Button1 = new QPushButton(QStringLiteral("&Ok"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setDefault(true);
    Button1->setFixedSize(
        QSize(Scaled(kButtonWidth, scale), Scaled(kButtonHeight, scale)).expandedTo(Button1->sizeHint()));
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    const int margin = (Scaled(kClientWidth, scale) - Bevel1->width()) / 2;
    layout->setContentsMargins(margin, margin, margin, margin);
    layout->setSpacing(0);
    layout->addWidget(Bevel1, 0, Qt::AlignHCenter);
    layout->addSpacing(Scaled(12, scale));
    layout->addWidget(Label1);
    layout->addSpacing(Scaled(12, scale));
    layout->addWidget(Label2);
    layout->addWidget(Label3, 0, Qt::AlignLeft);
    layout->addSpacing(Scaled(8, scale));
    layout->addWidget(Label4);
    layout->addWidget(Label5, 0, Qt::AlignLeft);
    layout->addSpacing(Scaled(12, scale));
    layout->addWidget(Label6);
    layout->addStretch(1);
    layout->addWidget(Button1, 0, Qt::AlignHCenter);

    setFixedSize(QSize(Scaled(kClientWidth, scale), Scaled(kClientHeight, scale)).expandedTo(layout->totalSizeHint()));
    CenterOnScreen(this);
}

QLabel* TAboutDlg::linkLabel(const char* name, const char* address, const QString& purpose)
{
    auto* link = plainLabel(this, name, QString::fromLatin1(address));
    link->setAccessibleName(purpose);
    link->setAccessibleDescription(QStringLiteral("Opens %1").arg(QLatin1String(address)));
    link->setCursor(Qt::PointingHandCursor);
    link->setMouseTracking(true);
    link->installEventFilter(this);
    return link;
}

bool TAboutDlg::eventFilter(QObject* watched, QEvent* event)
{
    auto* link = qobject_cast<QLabel*>(watched);
    if (link != Label3 && link != Label5)
        return QDialog::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseMove:
        link == Label3 ? Label3MouseMove() : Label5MouseMove();
        return true;
    case QEvent::MouseButtonRelease: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton && link->rect().contains(mouse->position().toPoint()))
            link == Label3 ? Label3Click() : Label5Click();
        return true;
    }
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}

void TAboutDlg::mouseMoveEvent(QMouseEvent* event)
{
    // A control that tracks the pointer itself may pass a move on to the dialog; only the
    // background counts.
    if (!childAt(event->position().toPoint()))
        FormMouseMove();
    QDialog::mouseMoveEvent(event);
}

void TAboutDlg::highlight(QLabel* link)
{
    QFont font = link->font();
    font.setBold(true);
    font.setUnderline(true);
    link->setFont(font);
    QPalette palette = link->palette();
    palette.setColor(QPalette::WindowText, kLinkColour);
    link->setPalette(palette);
}

void TAboutDlg::Label3MouseMove()
{
    highlight(Label3);
}

void TAboutDlg::Label5MouseMove()
{
    highlight(Label5);
}

void TAboutDlg::FormMouseMove()
{
    for (QLabel* link : {Label3, Label5}) {
        QFont font = link->font();
        if (!(font.bold() && font.underline() && !font.italic() && !font.strikeOut()))
            continue;
        font.setBold(false);
        font.setUnderline(false);
        link->setFont(font);
        QPalette palette = link->palette();
        palette.setColor(QPalette::WindowText, QApplication::palette(link).color(QPalette::WindowText));
        link->setPalette(palette);
    }
}

void TAboutDlg::openLink(const QLabel* link)
{
    // As designed, a link that cannot be opened gives no message.
    QDesktopServices::openUrl(QUrl(link->text()));
}

void TAboutDlg::Label3Click()
{
    openLink(Label3);
}

void TAboutDlg::Label5Click()
{
    openLink(Label5);
}
