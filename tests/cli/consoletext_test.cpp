#include "cli/consoletext.h"

#include <gtest/gtest.h>

namespace {

TransferProgress midway()
{
    TransferProgress p;
    p.fileNumber = 2;
    p.fileCount = 5;
    p.totalBytes = 1258291; // 1.2 MiB
    p.totalSize = 3565158;  // 3.4 MiB
    return p;
}

TEST(ProgressLine, TheRichestFormThatFitsNeverWiderThanAsked)
{
    const QString label = QStringLiteral("from 192.168.100.200:50412");
    const struct {
        QString label;
        int width;
        const char* expected;
    } rows[] = {
        {{}, 199, "File 2/5  1.2 MiB of 3.4 MiB  12.6 MB/s  0:00 left"},
        {label, 199, "from 192.168.100.200:50412  File 2/5  1.2 MiB of 3.4 MiB  12.6 MB/s  0:00 left"},
        {label, 79, "from 192.168.100.200:50412  File 2/5  1.2 MiB of 3.4 MiB  12.6 MB/s  0:00 left"},
        {label, 70, "from 192.168.100.200:50412  File 2/5  1.2 MiB of 3.4 MiB  12.6 MB/s"},
        {label, 60, "from 192.168.100.200:50412  2/5  1.2/3.4 MiB  12.6 MB/s"},
        {label, 50, "File 2/5  1.2 MiB of 3.4 MiB  12.6 MB/s  0:00 left"},
        {label, 49, "File 2/5  1.2 MiB of 3.4 MiB  12.6 MB/s"},
        {{}, 40, "File 2/5  1.2 MiB of 3.4 MiB  12.6 MB/s"},
        {{}, 30, "2/5  1.2/3.4 MiB  12.6 MB/s"},
        {{}, 20, "2/5  12.6 MB/s"},
        {{}, 9, "2/5  12.6"},
        {{}, 0, ""},
    };
    for (const auto& row : rows) {
        const QString line = ProgressLine(midway(), 0.1, row.label, row.width);
        EXPECT_EQ(line.toStdString(), row.expected) << "width " << row.width;
        EXPECT_LE(line.size(), row.width);
    }
}

TEST(ProgressLine, TimeLeftAndUnknownRate)
{
    TransferProgress p = midway();
    EXPECT_TRUE(ProgressLine(p, 1.0, {}, 200).endsWith("1.3 MB/s  0:01 left"));
    EXPECT_TRUE(ProgressLine(p, 0.0, {}, 200).endsWith("0.0 MB/s  --:-- left"));
    p.totalBytes = p.totalSize;
    EXPECT_TRUE(ProgressLine(p, 1.0, {}, 200).endsWith("0:00 left"));
}

TEST(Summaries, FilesBytesTimeSpeedAndOutcome)
{
    EXPECT_EQ(SentSummary(2, 2, 3145728, 3145728, 0.5, "done"), "Sent 2 files (3.0 MiB) in 0.50 s, 6.3 MB/s: done");
    EXPECT_EQ(SentSummary(1, 1, 5, 5, 0.0, "done"), "Sent 1 file (5 B) in 0.00 s: done");
    EXPECT_EQ(SentSummary(1, 3, 1048576, 3145728, 12.0, "failed"),
              "Sent 1 of 3 files (1.0 MiB of 3.0 MiB) in 12.0 s, 0.1 MB/s: failed");

    TransferProgress p;
    p.totalBytes = 3145728;
    ReceiveSummary whole;
    whole.announcedFiles = whole.completedFiles = 2;
    EXPECT_EQ(ReceivedSummary(whole, p, 125, "10.0.0.5:50412"),
              "Received 2 files (3.0 MiB) from 10.0.0.5:50412 in 2:05, 0.0 MB/s: complete");
    // A resumed file: the rate counts what came over the network.
    ReceiveSummary resumed = whole;
    resumed.bytesKept = 2097152;
    EXPECT_EQ(ReceivedSummary(resumed, p, 0.5, "10.0.0.5:50412"),
              "Received 2 files (3.0 MiB), 1.0 MiB over the network from 10.0.0.5:50412 in 0.50 s, 2.1 MB/s: "
              "complete");
    ReceiveSummary broken;
    broken.announcedFiles = 6;
    broken.completedFiles = 1;
    broken.filesWithCorruptBlocks = 1;
    broken.filesWithDroppedPackets = 1;
    broken.failedFiles = 1;
    EXPECT_EQ(ReceivedSummary(broken, p, 1.5, "10.0.0.5:50412"),
              "Received 1 of 6 files (3.0 MiB) from 10.0.0.5:50412 in 1.5 s, 2.1 MB/s: "
              "1 discarded for corrupt blocks, 1 discarded for dropped data packets, 1 not written, "
              "2 never arrived");
    EXPECT_EQ(ReceivedSummary(ReceiveSummary{}, TransferProgress{}, 0.2, "10.0.0.5:50412"),
              "10.0.0.5:50412 left without sending anything");
}

TEST(BytesText, Units)
{
    EXPECT_EQ(BytesText(-1), "?");
    EXPECT_EQ(BytesText(1023), "1023 B");
    EXPECT_EQ(BytesText(1536), "1.5 KiB");
    EXPECT_EQ(BytesText(5 * 1048576 / 2), "2.5 MiB");
    EXPECT_EQ(BytesText(qint64(3) << 30), "3.0 GiB");
}

} // namespace
