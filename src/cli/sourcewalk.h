#pragma once

#include "cli/sourcefiles.h"
#include "transfer/entrysource.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

class StoredFiles;

// The files and folders given on the command line, walked twice in one order: once to check
// them before anything is sent (Check), once as the copy sends them (the entry source). Each
// file must be readable and a regular file, with a name that a server accepts; no two given
// may travel under one name (the server would keep only the last). A folder is walked:
// everything below it travels under paths that start with the folder's own name, a folder
// before what it holds, names in byte order, empty folders included; links and special files
// inside it are skipped with a line, never followed. One bad file stops the copy before it
// starts, so a server never holds half a set.
//
// Only the folders being walked are held (the names of each, sorted), never the whole tree.
// What the check saw of each folder is kept as an 8-byte digest of its listing: a folder
// whose files changed before the copy reached it (a file gone, added, or now a link) ends the
// copy there with an error naming the folder, before anything of it is sent; a file that
// cannot be read when its turn comes ends it with an error naming the file.
class SourceWalk final : public EntrySource {
public:
    // `skip`: files the server holds already, unchanged (a copy that goes on after a cut
    // one): they are neither counted nor sent. Folders always go.
    explicit SourceWalk(QStringList files, const StoredFiles* skip = nullptr);
    ~SourceWalk() override;

    SourceWalk(const SourceWalk&) = delete;
    SourceWalk& operator=(const SourceWalk&) = delete;

    // Walks everything once; then Next gives the same entries.
    SourceFiles Check();

    // EntrySource, after Check.
    bool Next(SendEntry& entry) override;
    void Rewind() override;
    std::optional<EntryCounts> Counts() const override;

private:
    enum class Kind : std::uint8_t { File, Folder, Link, Special, Problem };
    struct Child {
        QByteArray name;
        Kind kind = Kind::Problem;
        qint64 size = 0;
        qint64 modifiedNs = 0;
        QString problem; // why it cannot be sent (Kind::Problem)
    };
    struct Level {
        QString path;    // full
        QString shown;   // as lines show it
        QByteArray name; // as it travels
        QList<Child> children;
        qsizetype next = 0;
    };

    // The next entry of the walk, into `entry`; problems and lines go to m_result when
    // checking, and throw AppError when sending.
    bool step(SendEntry& entry);
    bool given(SendEntry& entry);
    // Lists the folder of `entry` and goes into it.
    void enter(const SendEntry& entry, const QString& shown);
    void leave();
    void problem(const QString& file, const QString& reason);
    bool skipped(const QByteArray& name, qint64 size, qint64 modifiedNs) const;

    QStringList m_files;
    const StoredFiles* m_skip;
    bool m_checking = false;
    SourceFiles m_result;
    std::vector<Level> m_levels;
    qsizetype m_nextGiven = 0;
    QHash<QString, QString> m_byName;     // the name a file given travels under -> as given
    std::vector<bool> m_givenFolder;      // what each file given was when checked
    std::vector<std::uint64_t> m_digests; // of each folder's listing, in walk order
    std::size_t m_folders = 0;            // folders entered so far in this walk
};
