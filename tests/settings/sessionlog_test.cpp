#include "platform/apperror.h"
#include "settings/messagelistview.h"
#include "settings/sessionlog.h"
#include "support/testdata.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

#include <csignal>

inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.left(200).toStdString() << '"';
}

namespace {

class RecordingList : public MessageListView {
public:
    QStringList lines;
    void AddLine(const QString& text) override { lines.append(text); }
    void AppendToLastLine(const QString& text) override
    {
        if (!lines.isEmpty())
            lines.last() += text;
    }
};

const QDateTime kNow(QDate(2026, 12, 10), QTime(13, 5, 9));
const QByteArray kHeader = "[New Entry]\r\n10.12.2026 13:05:09: Ferrowarden session on PC7\r\n";
const QByteArray kClosing = "\r\n\r\nSession closed 10.12.2026 13:05:09\r\n\r\n";

class SessionLogTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    Settings settings;
    RecordingList list;
    SessionLog log{settings, QStringLiteral("PC7"), &list};

    SessionLogTest()
    {
        settings.LogFile = dir.filePath(QStringLiteral("fwd.txt"));
        log.SetClock([] { return kNow; });
        // The user's regional formats vary; the records below use the fixed form.
        log.SetDateTimeFormat(QString::fromLatin1(SessionLog::kDateFormat),
                              QString::fromLatin1(SessionLog::kTimeFormat));
    }

    void existing(const QByteArray& bytes)
    {
        QFile file(settings.LogFile);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    QByteArray contents() const
    {
        QFile file(settings.LogFile);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
};

TEST_F(SessionLogTest, AppendedRecordWithMessagesAndContinuation)
{
    existing("earlier run\r\n");
    log.OpenLogFile();
    ASSERT_TRUE(log.LogOpen());
    log.LogMessage(QStringLiteral("M1"));
    log.LogMessage(QStringLiteral("M2"));
    log.LogAppend(QStringLiteral("A"));
    log.CloseLogFile();

    EXPECT_EQ(contents(), "earlier run\r\n"
                          "\r\n"
                              + kHeader
                              + "\r\nM1"
                                "\r\nM2A"
                              + kClosing);
    EXPECT_EQ(list.lines, QStringList({"M1", "M2A"}));
    EXPECT_FALSE(log.LogOpen());
}

TEST_F(SessionLogTest, RecordShapes)
{
    const struct {
        const char* name;
        bool append;
        QByteArray before;
        QByteArray after;
    } rows[] = {
        {"append, no messages", true, "x\r\n", "x\r\n\r\n" + kHeader + kClosing},
        {"overwrite", false, "old run\r\n", kHeader + kClosing},
        {"Ctrl-Z in the tail cuts the file", true,
         "abc\x1A"
         "junk\x1A",
         "abc\r\n" + kHeader + kClosing},
        {"Ctrl-Z before the last 128 bytes stays", true, "\x1A" + QByteArray(128, 'y'),
         "\x1A" + QByteArray(128, 'y') + "\r\n" + kHeader + kClosing},
    };
    for (const auto& row : rows) {
        existing(row.before);
        settings.AppendLogData = row.append;
        log.OpenLogFile();
        log.CloseLogFile();
        EXPECT_EQ(contents(), row.after) << row.name;
    }
}

TEST_F(SessionLogTest, SendingSessionDataDoneIsOneLine)
{
    log.OpenLogFile();
    log.LogMessage(QStringLiteral("Sending Session Data..."));
    log.LogAppend(QStringLiteral("Done"));
    log.CloseLogFile();
    EXPECT_EQ(contents(), "\r\n" + kHeader + "\r\nSending Session Data...Done" + kClosing);
    EXPECT_EQ(list.lines, QStringList({"Sending Session Data...Done"}));
}

TEST_F(SessionLogTest, AppendWithEmptyListStillReachesTheFile)
{
    settings.AppendLogData = false;
    log.OpenLogFile();
    log.LogAppend(QStringLiteral("tail"));
    log.CloseLogFile();
    log.CloseLogFile();
    EXPECT_EQ(contents(), kHeader + "tail" + kClosing);
    EXPECT_TRUE(list.lines.isEmpty());
}

TEST_F(SessionLogTest, CreateLogOffTouchesNoFile)
{
    settings.CreateLog = false;
    log.OpenLogFile();
    log.LogMessage(QStringLiteral("only on screen"));
    log.CloseLogFile();
    EXPECT_FALSE(log.LogOpen());
    EXPECT_FALSE(QFile::exists(settings.LogFile));
    EXPECT_EQ(list.lines, QStringList({"only on screen"}));
}

TEST_F(SessionLogTest, CreateLogSwitchedDuringTheRun)
{
    settings.AppendLogData = false;
    log.OpenLogFile();
    settings.CreateLog = false;
    log.LogMessage(QStringLiteral("hidden"));
    settings.CreateLog = true;
    log.LogMessage(QStringLiteral("shown"));
    settings.CreateLog = false;
    log.CloseLogFile();
    EXPECT_EQ(contents(), kHeader + "\r\nshown" + kClosing);
    EXPECT_EQ(list.lines, QStringList({"hidden", "shown"}));
}

TEST_F(SessionLogTest, MissingFileIsCreatedAndRelativeNameResolvedOnce)
{
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    settings.LogFile = QStringLiteral("new-log.txt");
    log.OpenLogFile();
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("elsewhere")));
    ASSERT_TRUE(QDir::setCurrent(dir.filePath(QStringLiteral("elsewhere"))));
    log.LogMessage(QStringLiteral("after cd"));
    log.CloseLogFile();
    QDir::setCurrent(previous);

    EXPECT_EQ(log.FilePath(), dir.filePath(QStringLiteral("new-log.txt")));
    settings.LogFile = dir.filePath(QStringLiteral("new-log.txt"));
    EXPECT_EQ(contents(), "\r\n" + kHeader + "\r\nafter cd" + kClosing);
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("elsewhere/new-log.txt"))));
}

TEST_F(SessionLogTest, LogHeldByAnotherInstanceIsLeftAlone)
{
    existing("theirs\r\n");
    log.OpenLogFile();
    ASSERT_TRUE(log.LogOpen());

    Settings otherSettings = settings;
    otherSettings.AppendLogData = false;
    RecordingList otherList;
    SessionLog other(otherSettings, QStringLiteral("PC8"), &otherList);
    other.OpenLogFile();
    EXPECT_FALSE(other.LogOpen());
    other.LogMessage(QStringLiteral("list only"));
    EXPECT_EQ(otherList.lines, QStringList({"list only"}));

    log.CloseLogFile();
    EXPECT_TRUE(contents().startsWith("theirs\r\n\r\n[New Entry]"));
}

TEST_F(SessionLogTest, UnopenableFileLeavesLoggingOff)
{
    settings.LogFile = dir.filePath(QStringLiteral("no/such/dir/fwd.txt"));
    log.OpenLogFile();
    EXPECT_FALSE(log.LogOpen());
    log.LogMessage(QStringLiteral("still listed"));
    EXPECT_EQ(list.lines, QStringList({"still listed"}));
}

TEST_F(SessionLogTest, WriteFailuresAreRaised)
{
    settings.AppendLogData = false;
    log.OpenLogFile();
    log.LogMessage(QStringLiteral("fits"));
    log.Flush();
    ASSERT_TRUE(log.LogOpen());
    {
        FileSizeLimit limit(1024);
        // Larger than any write buffer, so the write reaches the disk at once.
        EXPECT_THROW(log.LogMessage(QString(100000, QLatin1Char('x'))), AppError);
        EXPECT_EQ(list.lines, QStringList({"fits"}));
        log.LogAppend(QStringLiteral("!"));
        log.LogAppend(QString(100000, QLatin1Char('y')));
        EXPECT_THROW(log.CloseLogFile(), AppError);
    }
    EXPECT_FALSE(log.LogOpen());
    ASSERT_EQ(list.lines.size(), 1);
    EXPECT_TRUE(list.lines[0].startsWith(QStringLiteral("fits!yyy")));
}

TEST_F(SessionLogTest, LinesReachTheDiskWhileTheLogIsOpen)
{
    int argc = 1;
    char name[] = "sessionlog_test";
    char* argv[] = {name};
    QCoreApplication app(argc, argv);
    log.OpenLogFile();
    ASSERT_TRUE(log.LogOpen());
    EXPECT_EQ(contents(), "\r\n" + kHeader) << "the header is on disk at once";

    // A failure line is on disk at once, and takes what was waiting with it.
    log.LogMessage(QStringLiteral("Receiving Data..."));
    log.LogError(QStringLiteral("Datei x kann nicht erstellt werden"));
    EXPECT_EQ(contents(), "\r\n" + kHeader + "\r\nReceiving Data...\r\nDatei x kann nicht erstellt werden");

    // Other lines within about a second, while the event loop runs.
    log.LogMessage(QStringLiteral("Transmission Complete!"));
    log.LogAppend(QStringLiteral(" (appended)"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return contents().endsWith("Complete! (appended)"); }, 5000))
        << contents().toStdString();
    log.CloseLogFile();
    EXPECT_TRUE(contents().endsWith(kClosing));
}

TEST_F(SessionLogTest, DateTimeTexts)
{
    const struct {
        QDateTime when;
        const char* date;
        const char* time;
        const char* expected;
    } rows[] = {
        {kNow, SessionLog::kDateFormat, SessionLog::kTimeFormat, "10.12.2026 13:05:09"},
        {QDateTime(QDate(2026, 1, 2), QTime(0, 0)), SessionLog::kDateFormat, SessionLog::kTimeFormat, "02.01.2026"},
        {QDateTime(QDate(2026, 1, 2), QTime(0, 0, 1)), SessionLog::kDateFormat, SessionLog::kTimeFormat,
         "02.01.2026 00:00:01"},
        {kNow, "MM.dd.yyyy", "HH:mm", "12.10.2026 13:05"},
        // A long time that names the zone (the American one does) is logged without it.
        {kNow, "M/d/yy", "h:mm:ss AP t", "12/10/26 1:05:09 PM"},
        {kNow, "M/d/yy", "t HH:mm", "12/10/26 13:05"},
        {kNow, "M/d/yy", "HH:mm 'at' t", "12/10/26 13:05 at"},
    };
    for (const auto& row : rows) {
        log.SetDateTimeFormat(QString::fromLatin1(row.date), QString::fromLatin1(row.time),
                              QLocale(QLocale::English, QLocale::UnitedStates));
        EXPECT_EQ(log.DateTimeText(row.when), QString::fromLatin1(row.expected));
    }
}

} // namespace

// The log viewer's reading: every line so far, the buffered ones included; nothing
// written, however often; the record goes on in the same file afterwards.
TEST_F(SessionLogTest, ReloadShowsBufferedLinesAndWritesNothing)
{
    existing("earlier run\r\n");
    log.OpenLogFile();
    log.LogMessage(QStringLiteral("M1"));
    log.LogAppend(QStringLiteral("A"));
    ASSERT_FALSE(contents().contains("M1A")) << "precondition: the lines are still buffered";

    const QByteArray expected = "earlier run\r\n"
                                "\r\n"
                                + kHeader + "\r\nM1A";
    // A name entered in the preferences during the run applies at the next start; this
    // run's record stays in one file.
    const QString runFile = settings.LogFile;
    settings.LogFile = dir.filePath(QStringLiteral("renamed.txt"));
    EXPECT_EQ(log.Reload(), expected);
    EXPECT_EQ(log.Reload(), expected);
    EXPECT_TRUE(log.LogOpen());
    EXPECT_FALSE(QFile::exists(settings.LogFile));

    log.LogMessage(QStringLiteral("M2"));
    log.CloseLogFile();
    settings.LogFile = runFile;
    EXPECT_EQ(contents(), expected + "\r\nM2" + kClosing);
}

TEST_F(SessionLogTest, ReloadOfAClosedLogReadsNothing)
{
    settings.CreateLog = false;
    log.OpenLogFile();
    EXPECT_TRUE(log.Reload().isEmpty());
    EXPECT_FALSE(QFile::exists(settings.LogFile));
}

// A failed reload leaves the log either open for appending or closed, never writing to a
// closed file.
TEST_F(SessionLogTest, ReloadThatCannotReopenClosesTheLog)
{
    log.OpenLogFile();
    log.LogMessage(QStringLiteral("M1"));
    ASSERT_TRUE(QFile::remove(settings.LogFile));
    EXPECT_THROW(log.Reload(), AppError);
    EXPECT_FALSE(log.LogOpen());
    // The vanished file is not brought back without its record's opening lines.
    EXPECT_NO_THROW(log.LogMessage(QStringLiteral("M2")));
    EXPECT_NO_THROW(log.CloseLogFile());
    EXPECT_FALSE(QFile::exists(settings.LogFile));
    EXPECT_EQ(list.lines, QStringList({"M1", "M2"}));
}

TEST_F(SessionLogTest, ReloadThatCannotWriteTheBufferLeavesTheLogOpenForAppending)
{
    settings.AppendLogData = false;
    log.OpenLogFile();
    log.Flush();
    const qint64 size = QFileInfo(settings.LogFile).size();
    log.LogMessage(QStringLiteral("lost to a full disk"));
    {
        FileSizeLimit limit(size);
        EXPECT_THROW(log.Reload(), AppError);
    }
    EXPECT_TRUE(log.LogOpen());
    log.LogMessage(QStringLiteral("M2"));
    log.CloseLogFile();
    EXPECT_EQ(contents(), kHeader + "\r\nM2" + kClosing);
}
