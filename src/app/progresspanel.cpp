#include "app/progresspanel.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <utility>

namespace {

// A frame of the display: repaints wait at most this long.
constexpr int kFrameMilliseconds = 16;

// A label that names the control next to it; its own text is its accessible name.
QLabel* caption(QWidget* parent, const char* name, const QString& text, QWidget* buddy)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setBuddy(buddy);
    return label;
}

// A label whose text changes with the copy: a screen reader reads that text, and the
// description says what it is.
QLabel* reading(QWidget* parent, const char* name, const QString& text, const QString& description)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setAccessibleDescription(description);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QProgressBar* progressBar(QWidget* parent, const char* name, const QString& purpose)
{
    auto* bar = new QProgressBar(parent);
    bar->setObjectName(QLatin1String(name));
    bar->setAccessibleName(purpose);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    return bar;
}

// The close glyph in the strip's text colour, so that it shows on any palette.
QIcon closeGlyph(const QColor& colour, int side, qreal ratio)
{
    QPixmap pixmap(QSize(side, side) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colour, std::max(1.5, side / 8.0), Qt::SolidLine, Qt::RoundCap));
    const qreal inset = side * 0.28;
    painter.drawLine(QPointF(inset, inset), QPointF(side - inset, side - inset));
    painter.drawLine(QPointF(side - inset, inset), QPointF(inset, side - inset));
    return QIcon(pixmap);
}

} // namespace

ProgressPanel::ProgressPanel(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Panel2"));
    setAccessibleName(QStringLiteral("Transfer progress"));
    setAutoFillBackground(true);
    hide();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    buildStatusStrip();
    buildProgressGroup();
    buildMessageGroup();
    layout->addWidget(Panel3);
    m_hostRow = new QWidget(this);
    auto* hostRow = new QHBoxLayout(m_hostRow);
    hostRow->setContentsMargins(4, 2, 2, 2);
    HostInfo =
        reading(m_hostRow, "HostInfo", QString(), QStringLiteral("Where files go and where senders reach this PC"));
    HostInfo->setWordWrap(true);
    HostInfo->setTextInteractionFlags(Qt::TextSelectableByMouse);
    OpenFolderBtn = new QPushButton(QStringLiteral("&Open Folder"), m_hostRow);
    OpenFolderBtn->setObjectName(QStringLiteral("OpenFolderBtn"));
    OpenFolderBtn->setAccessibleDescription(QStringLiteral("Show the folder the files go to"));
    OpenFolderBtn->setAutoDefault(false);
    hostRow->addWidget(HostInfo, 1);
    hostRow->addWidget(OpenFolderBtn);
    m_hostRow->hide();
    layout->addWidget(m_hostRow);
    layout->addWidget(GroupBox1);
    layout->addWidget(GroupBox2, 1);

    m_frameTimer.setSingleShot(true);
    m_frameTimer.setInterval(kFrameMilliseconds);
    connect(&m_frameTimer, &QTimer::timeout, this, &ProgressPanel::PaintFrame);
    m_frameClock.start();
}

void ProgressPanel::buildStatusStrip()
{
    Panel3 = reading(this, "Panel3", QStringLiteral(" Waiting..."), QStringLiteral("Session status"));
    Panel3->setAutoFillBackground(true);
    QFont strong = Panel3->font();
    strong.setBold(true);
    Panel3->setFont(strong);
    Panel3->setMargin(2);
    ClosePanelBtn = new QToolButton(Panel3);
    ClosePanelBtn->setObjectName(QStringLiteral("ClosePanelBtn"));
    ClosePanelBtn->setAccessibleName(QStringLiteral("Close"));
    ClosePanelBtn->setAccessibleDescription(QStringLiteral("Close the progress panel"));
    ClosePanelBtn->setToolTip(QStringLiteral("Close the progress panel"));
    ClosePanelBtn->setAutoRaise(true);
    ClosePanelBtn->setFocusPolicy(Qt::StrongFocus);
    auto* strip = new QHBoxLayout(Panel3);
    strip->setContentsMargins(0, 0, 2, 0);
    strip->addStretch(1);
    strip->addWidget(ClosePanelBtn);
    const int side = ClosePanelBtn->sizeHint().height();
    ClosePanelBtn->setFixedSize(side, side);
    Panel3->setMinimumHeight(side + 4);
    PaintStatusStrip();
}

void ProgressPanel::buildProgressGroup()
{
    GroupBox1 = new QGroupBox(QStringLiteral("Progress:"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    auto* grid = new QGridLayout(GroupBox1);
    Label2 = reading(GroupBox1, "Label2", QString(), QStringLiteral("Current file"));
    Label2->setMinimumWidth(1); // a long name is cut, never widens the fixed window
    Label2->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    Label1 = caption(GroupBox1, "Label1", QStringLiteral("Just Copying::"), Label2);
    ThisFileProgBar = progressBar(GroupBox1, "ThisFileProgBar", QStringLiteral("Progress of this file"));
    Label3 = caption(GroupBox1, "Label3", QStringLiteral("This file:"), ThisFileProgBar);
    TotalProgBar = progressBar(GroupBox1, "TotalProgBar", QStringLiteral("Progress of the whole transfer"));
    Label4 = caption(GroupBox1, "Label4", QStringLiteral("Total:"), TotalProgBar);
    Label5 = reading(GroupBox1, "Label5", QStringLiteral("File X/X"), QStringLiteral("File counter"));
    PacksSent = reading(GroupBox1, "PacksSent", QStringLiteral("0"), QStringLiteral("Packets sent"));
    Label6 = caption(GroupBox1, "Label6", QStringLiteral("Packets sent:"), PacksSent);
    PacksReceived = reading(GroupBox1, "PacksReceived", QStringLiteral("0"), QStringLiteral("Packets received"));
    Label9 = caption(GroupBox1, "Label9", QStringLiteral("Packets received:"), PacksReceived);
    ProgressText = reading(GroupBox1, "ProgressText", QString(), QStringLiteral("Bytes, speed and time left"));
    for (QLabel* counter : {PacksSent, PacksReceived, Label5, ProgressText})
        counter->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ResumeBtn = new QPushButton(QStringLiteral("&Resume"), GroupBox1);
    ResumeBtn->setObjectName(QStringLiteral("ResumeBtn"));
    ResumeBtn->setAccessibleDescription(
        QStringLiteral("Find the session again and send the rest of the copy that was cut off"));
    ResumeBtn->setToolTip(QStringLiteral("Send the rest of the copy that was cut off"));
    ResumeBtn->setAutoDefault(false);
    ResumeBtn->hide();

    grid->addWidget(Label1, 0, 0);
    grid->addWidget(Label2, 0, 1, 1, 3);
    grid->addWidget(Label3, 1, 0);
    grid->addWidget(ThisFileProgBar, 1, 1, 1, 3);
    grid->addWidget(Label4, 2, 0);
    grid->addWidget(TotalProgBar, 2, 1, 1, 3);
    grid->addWidget(Label5, 3, 0);
    auto* counters = new QHBoxLayout;
    counters->addWidget(Label6);
    counters->addWidget(PacksSent);
    counters->addSpacing(16);
    counters->addWidget(Label9);
    counters->addWidget(PacksReceived);
    counters->addStretch(1);
    grid->addLayout(counters, 3, 1, 1, 3);
    grid->addWidget(ProgressText, 4, 1, 1, 2);
    grid->addWidget(ResumeBtn, 4, 3, Qt::AlignRight);
    grid->setColumnStretch(1, 1);
}

void ProgressPanel::buildMessageGroup()
{
    GroupBox2 = new QGroupBox(QStringLiteral("Messages:"), this);
    GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
    auto* messages = new QVBoxLayout(GroupBox2);
    DebugMsgList = new QListWidget(GroupBox2);
    DebugMsgList->setObjectName(QStringLiteral("DebugMsgList"));
    DebugMsgList->setAccessibleName(QStringLiteral("Messages"));
    DebugMsgList->setUniformItemSizes(true);
    DebugMsgList->setSelectionMode(QAbstractItemView::SingleSelection);
    messages->addWidget(DebugMsgList);
}

bool ProgressPanel::ShowStatus(const QString& caption)
{
    m_frame.status = caption;
    return frameChanged();
}

bool ProgressPanel::ShowFileName(const QString& name)
{
    m_frame.fileName = name;
    return frameChanged();
}

bool ProgressPanel::ShowFileCounter(const QString& caption)
{
    m_frame.fileCounter = caption;
    return frameChanged();
}

bool ProgressPanel::SetFileProgress(int percent)
{
    m_frame.filePercent = percent;
    return frameChanged();
}

bool ProgressPanel::SetTotalProgress(int percent)
{
    m_frame.totalPercent = percent;
    return frameChanged();
}

bool ProgressPanel::ShowSentPackets(qint64 count)
{
    m_frame.sentPackets = count;
    return frameChanged();
}

bool ProgressPanel::ShowReceivedPackets(qint64 count)
{
    m_frame.receivedPackets = count;
    return frameChanged();
}

bool ProgressPanel::ShowProgress(const TransferProgress& progress)
{
    m_frame.progress = progress;
    return frameChanged();
}

bool ProgressPanel::AddLine(const QString& text)
{
    DebugMsgList->addItem(text);
    m_frame.newLines = true;
    return frameChanged();
}

void ProgressPanel::AppendToLastLine(const QString& text)
{
    if (DebugMsgList->count() == 0)
        return;
    QListWidgetItem* last = DebugMsgList->item(DebugMsgList->count() - 1);
    last->setText(last->text() + text);
}

bool ProgressPanel::frameChanged()
{
    if (m_frameClock.elapsed() >= kFrameMilliseconds) {
        PaintFrame();
        return true;
    }
    if (!m_frameTimer.isActive())
        m_frameTimer.start();
    return false;
}

void ProgressPanel::PaintFrame()
{
    m_frameTimer.stop();
    m_frameClock.restart();
    Frame frame = std::exchange(m_frame, Frame{});
    if (frame.fileName)
        Label2->setText(*frame.fileName);
    if (frame.fileCounter)
        Label5->setText(*frame.fileCounter);
    if (frame.status)
        Panel3->setText(*frame.status);
    if (frame.filePercent)
        ThisFileProgBar->setValue(*frame.filePercent);
    if (frame.totalPercent)
        TotalProgBar->setValue(*frame.totalPercent);
    if (frame.sentPackets)
        PacksSent->setText(QString::number(*frame.sentPackets));
    if (frame.receivedPackets)
        PacksReceived->setText(QString::number(*frame.receivedPackets));
    if (frame.progress)
        paintProgress(*frame.progress);
    if (frame.newLines && DebugMsgList->count() > 0) {
        DebugMsgList->setCurrentRow(DebugMsgList->count() - 1);
        DebugMsgList->scrollToBottom();
    }
}

void ProgressPanel::paintProgress(const TransferProgress& progress)
{
    // A copy starts over when its byte count does.
    if (progress.totalBytes < m_lastTotal || m_lastTotal < 0)
        m_copyClock.restart();
    m_lastTotal = progress.totalBytes;
    // The bars step one point per hundredth of the packets; a file or copy that has ended
    // shows full bars, whatever steps its size allowed.
    if (progress.fileSize >= 0 && progress.fileBytes >= progress.fileSize && progress.fileNumber > 0)
        ThisFileProgBar->setValue(100);
    if (progress.totalSize >= 0 && progress.totalBytes >= progress.totalSize && progress.fileCount > 0)
        TotalProgBar->setValue(100);

    const QLocale locale;
    QString text = progress.totalSize >= 0 ? QStringLiteral("%1 of %2")
                                                 .arg(locale.formattedDataSize(progress.totalBytes),
                                                      locale.formattedDataSize(progress.totalSize))
                                           : locale.formattedDataSize(progress.totalBytes);
    const double seconds = m_copyClock.elapsed() / 1000.0;
    if (seconds >= 0.5 && progress.totalBytes > 0) {
        const double rate = progress.totalBytes / seconds;
        text += QStringLiteral(", %1/s").arg(locale.formattedDataSize(qint64(rate)));
        if (progress.totalSize > progress.totalBytes) {
            const qint64 left = qint64((progress.totalSize - progress.totalBytes) / rate + 0.5);
            text += QStringLiteral(", %1:%2 left").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
        }
    }
    ProgressText->setText(text);
}

void ProgressPanel::ShowHosting(const QString& folder, const QString& reachedAt)
{
    m_hostedFolder = folder;
    HostInfo->setText(QStringLiteral("Files go to %1\nSenders reach this PC at %2").arg(folder, reachedAt));
    m_hostRow->setVisible(!folder.isEmpty());
}

void ProgressPanel::ClearProgress()
{
    m_frame = Frame{};
    m_lastTotal = -1;
    ProgressText->clear();
    ThisFileProgBar->setValue(0);
    TotalProgBar->setValue(0);
    PacksSent->setText(QStringLiteral("0"));
    PacksReceived->setText(QStringLiteral("0"));
    Label2->clear();
    DebugMsgList->clear();
}

void ProgressPanel::PaintStatusStrip()
{
    QPalette palette = Panel3->palette();
    const QPalette& system = QApplication::palette(Panel3);
    const QColor text = system.color(QPalette::Active, QPalette::HighlightedText);
    palette.setColor(QPalette::Window, system.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::ButtonText, text);
    Panel3->setPalette(palette);
    const int side = ClosePanelBtn->height();
    ClosePanelBtn->setIconSize(QSize(side, side) * 0.7);
    ClosePanelBtn->setIcon(closeGlyph(text, side, devicePixelRatioF()));
}
