#include "cli/consoletext.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

QString filesText(int count)
{
    return count == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(count);
}

// "12.3 MB/s"; nothing when less than `shortest` seconds passed to measure by.
QString rateText(qint64 bytes, double seconds, double shortest = 0.05)
{
    if (seconds <= 0 || seconds < shortest)
        return QString();
    return QStringLiteral("%1 MB/s").arg(bytes / seconds / 1e6, 0, 'f', 1);
}

QString timeLeftText(const TransferProgress& p, double seconds)
{
    const double rate = seconds > 0 ? p.totalBytes / seconds : 0;
    if (p.totalSize >= 0 && p.totalBytes >= p.totalSize)
        return QStringLiteral("0:00 left");
    if (rate <= 0)
        return QStringLiteral("--:-- left");
    const auto remaining = static_cast<qint64>((p.totalSize - p.totalBytes) / rate);
    return QStringLiteral("%1:%2 left").arg(remaining / 60).arg(remaining % 60, 2, 10, QLatin1Char('0'));
}

// "1.2 of 3.4 MiB" in the compact form, "1.2 MiB of 3.4 MiB" in the long one.
QString amountText(const TransferProgress& p, bool compact)
{
    if (!compact)
        return BytesText(p.totalBytes) + QStringLiteral(" of ") + BytesText(p.totalSize);
    const QString total = BytesText(p.totalSize);
    const QString done = BytesText(p.totalBytes);
    const QString unit = total.section(QLatin1Char(' '), 1);
    if (done.section(QLatin1Char(' '), 1) == unit)
        return done.section(QLatin1Char(' '), 0, 0) + QLatin1Char('/') + total;
    return done + QLatin1Char('/') + total;
}

QString joined(const QStringList& parts)
{
    QStringList present;
    for (const QString& part : parts)
        if (!part.isEmpty())
            present << part;
    return present.join(QStringLiteral("  "));
}

} // namespace

QString BytesText(qint64 bytes)
{
    if (bytes < 0)
        return QStringLiteral("?");
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KiB").arg(bytes / 1024.0, 0, 'f', 1);
    if (bytes < qint64(1024) * 1024 * 1024)
        return QStringLiteral("%1 MiB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 1);
    return QStringLiteral("%1 GiB").arg(bytes / (1024.0 * 1024.0 * 1024.0), 0, 'f', 1);
}

QString DurationText(double seconds)
{
    if (seconds < 1)
        return QStringLiteral("%1 s").arg(seconds, 0, 'f', 2);
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds, 0, 'f', 1);
    const auto whole = static_cast<qint64>(std::lround(seconds));
    return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
}

QString ProgressLine(const TransferProgress& p, double seconds, const QString& label, int width)
{
    const QString files = QStringLiteral("File %1/%2").arg(p.fileNumber).arg(p.fileCount);
    const QString shortFiles = QStringLiteral("%1/%2").arg(p.fileNumber).arg(p.fileCount);
    // The line is redrawn as the copy goes: any time measures.
    QString rate = rateText(p.totalBytes, seconds, 0);
    if (rate.isEmpty())
        rate = QStringLiteral("0.0 MB/s");
    const QString left = timeLeftText(p, seconds);
    const QString candidates[] = {
        joined({label, files, amountText(p, false), rate, left}),
        joined({label, files, amountText(p, false), rate}),
        joined({label, shortFiles, amountText(p, true), rate}),
        joined({files, amountText(p, false), rate, left}),
        joined({files, amountText(p, false), rate}),
        joined({shortFiles, amountText(p, true), rate}),
        joined({shortFiles, rate}),
    };
    for (const QString& candidate : candidates)
        if (candidate.size() <= width)
            return candidate;
    return candidates[std::size(candidates) - 1].left(qMax(0, width));
}

QString SentSummary(int filesSent, int fileCount, qint64 bytesSent, qint64 totalBytes, double seconds,
                    const QString& outcome, qint64 wireBytes, int alreadyThere)
{
    const bool whole = filesSent == fileCount && bytesSent == totalBytes;
    QString text = whole ? QStringLiteral("Sent %1 (%2)").arg(filesText(fileCount), BytesText(totalBytes))
                         : QStringLiteral("Sent %1 of %2 (%3 of %4)")
                               .arg(filesSent)
                               .arg(filesText(fileCount), BytesText(bytesSent), BytesText(totalBytes));
    const bool resumed = wireBytes >= 0 && wireBytes != bytesSent;
    if (resumed)
        text += QStringLiteral(", %1 sent over the network").arg(BytesText(wireBytes));
    if (alreadyThere > 0)
        text += QStringLiteral(", %1 already there").arg(alreadyThere);
    text += QStringLiteral(" in ") + DurationText(seconds);
    const QString rate = rateText(resumed ? wireBytes : bytesSent, seconds);
    if (!rate.isEmpty())
        text += QStringLiteral(", ") + rate;
    return text + QStringLiteral(": ") + outcome;
}

QString ReceivedSummary(const ReceiveSummary& summary, const TransferProgress& progress, double seconds,
                        const QString& from)
{
    if (summary.announcedFiles == 0 && summary.announcedFolders == 0)
        return QStringLiteral("%1 left without sending anything").arg(from);
    const bool whole = summary.completedFiles + summary.skippedFiles == summary.announcedFiles;
    QString text =
        whole
            ? QStringLiteral("Received %1 (%2)").arg(filesText(summary.completedFiles), BytesText(progress.totalBytes))
            : QStringLiteral("Received %1 of %2 (%3)")
                  .arg(summary.completedFiles)
                  .arg(filesText(summary.announcedFiles), BytesText(progress.totalBytes));
    // A resumed file's kept bytes did not come over the network: the rate leaves them out.
    const qint64 kept = std::clamp<qint64>(summary.bytesKept, 0, progress.totalBytes);
    if (kept > 0)
        text += QStringLiteral(", %1 over the network").arg(BytesText(progress.totalBytes - kept));
    text += QStringLiteral(" from %1 in %2").arg(from, DurationText(seconds));
    const QString rate = rateText(progress.totalBytes - kept, seconds);
    if (!rate.isEmpty())
        text += QStringLiteral(", ") + rate;
    QStringList problems;
    if (summary.filesWithCorruptBlocks > 0)
        problems << QStringLiteral("%1 discarded for corrupt blocks").arg(summary.filesWithCorruptBlocks);
    if (summary.filesWithDroppedPackets > 0)
        problems << QStringLiteral("%1 discarded for dropped data packets").arg(summary.filesWithDroppedPackets);
    if (summary.failedFiles > 0)
        problems << QStringLiteral("%1 not written").arg(summary.failedFiles);
    const int missing = summary.announcedFiles - summary.completedFiles - summary.skippedFiles
                        - summary.filesWithCorruptBlocks - summary.filesWithDroppedPackets - summary.failedFiles;
    if (missing > 0)
        problems << QStringLiteral("%1 never arrived").arg(missing);
    if (summary.failedFolders > 0)
        problems << QStringLiteral("%1 %2 not made")
                        .arg(summary.failedFolders)
                        .arg(summary.failedFolders == 1 ? "folder" : "folders");
    QString outcome = problems.isEmpty() ? QStringLiteral("complete") : problems.join(QStringLiteral(", "));
    if (summary.skippedFiles > 0)
        outcome += QStringLiteral("; %1 skipped, the existing %2 kept")
                       .arg(summary.skippedFiles)
                       .arg(summary.skippedFiles == 1 ? QStringLiteral("file") : QStringLiteral("files"));
    return text + QStringLiteral(": ") + outcome;
}
