#pragma once

#include "transfer/transferview.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <optional>

class QGroupBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QToolButton;

// The main window's progress panel (Panel2): the status strip Panel3 with its close button,
// the current file, the bars of this file and of the whole copy, the file counter, the
// packet counters and the message list. What the engines report is painted at most once a
// frame of the display, so that a copy does not spend its time painting labels.
class ProgressPanel final : public QWidget {
    Q_OBJECT

public:
    explicit ProgressPanel(QWidget* parent);

    QLabel* Panel3 = nullptr; // the status strip
    QToolButton* ClosePanelBtn = nullptr;
    QLabel* HostInfo = nullptr; // while hosting: the folder, address and port
    QPushButton* OpenFolderBtn = nullptr;
    QGroupBox* GroupBox1 = nullptr; // "Progress:"
    QLabel* Label1 = nullptr;       // "Just Copying::"
    QLabel* Label2 = nullptr;       // the current file's name
    QLabel* Label3 = nullptr;       // "This file:"
    QProgressBar* ThisFileProgBar = nullptr;
    QLabel* Label4 = nullptr; // "Total:"
    QProgressBar* TotalProgBar = nullptr;
    QLabel* Label5 = nullptr; // "File X/X"
    QLabel* Label6 = nullptr; // "Packets sent:"
    QLabel* PacksSent = nullptr;
    QLabel* Label9 = nullptr; // "Packets received:"
    QLabel* PacksReceived = nullptr;
    QGroupBox* GroupBox2 = nullptr; // "Messages:"
    QListWidget* DebugMsgList = nullptr;
    QLabel* ProgressText = nullptr;   // bytes done, speed and time left
    QPushButton* ResumeBtn = nullptr; // after a cut copy: sends it again from where it stopped

    // Each change waits for the next frame; it returns true when a frame was due and the
    // change is on the screen already.
    bool ShowStatus(const QString& caption);
    bool ShowFileName(const QString& name);
    bool ShowFileCounter(const QString& caption);
    bool SetFileProgress(int percent);
    bool SetTotalProgress(int percent);
    bool ShowSentPackets(qint64 count);
    bool ShowReceivedPackets(qint64 count);
    // The copy's bytes: the text of bytes, speed and time left, and full bars at the end of
    // each file and of the copy.
    bool ShowProgress(const TransferProgress& progress);
    bool AddLine(const QString& text);
    void AppendToLastLine(const QString& text);

    // While a session is hosted: where files go and where senders reach it; the row is
    // hidden again by an empty folder.
    void ShowHosting(const QString& folder, const QString& reachedAt);
    const QString& HostedFolder() const { return m_hostedFolder; }

    // Puts every change that waits for the next frame on the screen now.
    void PaintFrame();
    // Bars at 0, counters "0", no file name, no messages; the file counter and the status
    // strip keep their texts. Changes that wait for a frame are dropped.
    void ClearProgress();
    // The status strip in the palette's caption-bar colours.
    void PaintStatusStrip();

private:
    // The changes that wait for the next frame.
    struct Frame {
        std::optional<QString> fileName;
        std::optional<QString> fileCounter;
        std::optional<QString> status;
        std::optional<int> filePercent;
        std::optional<int> totalPercent;
        std::optional<qint64> sentPackets;
        std::optional<qint64> receivedPackets;
        std::optional<TransferProgress> progress;
        bool newLines = false;
    };

    void buildStatusStrip();
    void buildProgressGroup();
    void buildMessageGroup();
    bool frameChanged();
    void paintProgress(const TransferProgress& progress);

    Frame m_frame;
    QElapsedTimer m_frameClock;
    QTimer m_frameTimer;
    QElapsedTimer m_copyClock; // since the copy's first byte
    qint64 m_lastTotal = -1;
    QWidget* m_hostRow = nullptr;
    QString m_hostedFolder;
};
