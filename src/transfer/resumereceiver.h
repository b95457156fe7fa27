#pragma once

#include "transfer/extensionmessages.h"
#include "transfer/partialfile.h"

#include <QByteArray>

#include <cstdint>
#include <optional>
#include <vector>

class ReceivingEngine;

// The resume side of the receiving engine, in a copy of version 2: the attributes sent for
// the entry that follows them, the partial file of a large file (made, offered to the sender,
// kept when cut off), the Keep and File end messages, and the times and permissions of the
// copy's folders, set at its end after their contents. It works on the engine's open file
// and its states, which stay the engine's.
class ResumeReceiver {
public:
    explicit ResumeReceiver(ReceivingEngine& engine) : m_engine(engine) {}

    ResumeReceiver(const ResumeReceiver&) = delete;
    ResumeReceiver& operator=(const ResumeReceiver&) = delete;

    // Whether files cut off are kept for a later copy to resume, and the name of the sender
    // they are kept for (what makes a partial file its own).
    void SetKeepPartials(bool keep) { m_keepPartials = keep; }
    void SetSenderName(const QByteArray& name) { m_sender = name; }
    PartialFile& Partial() { return m_partial; }

    // A copy starts: no attributes wait and no folder is to be set.
    void StartCopy();
    // Handles Attributes, Keep and File end.
    void HandleMessage(const ExtensionMessage& message);
    // The attributes sent for `entry`, if they came just before it.
    std::optional<Attributes> TakeAttributes(std::uint32_t entry);
    // A file entry begins: its attributes, if sent, are taken for it.
    void BeginFile(std::uint32_t entry, qint64 size);
    // Writes the engine's file as a partial file, when it is one to keep: false when it is not.
    bool CreatePartial(int folder, const QByteArray& target);
    // The room on the disk that a partial file kept of the engine's file takes already, which
    // its free space need not offer again.
    qint64 SpaceHeld() const;
    // A careful entry (kCarefulEntry) whose target is a regular file of the announced size,
    // time and permission bits already: true once its receipt ("already there, unchanged")
    // has gone out; its data, should any come, is dropped.
    bool AnswerIfUnchanged();
    // The file is admitted: its attributes go to it and, when it is large or careful, the
    // sender hears what the receiver holds of it.
    void FileAdmitted();
    // A folder made (or there already, `made` false) whose attributes are set at the copy's end.
    void AddFolder(const QByteArray& path, const std::optional<Attributes>& attributes, bool made);
    // The copy ends: sets the folders' attributes, deepest first.
    void EndCopy();

private:
    bool careful() const { return m_fileAttributes && (m_fileAttributes->flags & kCarefulEntry) != 0; }
    void keep(const Keep& keep);
    void fileEnd(const FileEnd& end);

    struct FolderAttributes {
        QByteArray path;
        Attributes attributes;
        bool made = false;
    };

    ReceivingEngine& m_engine;
    std::optional<Attributes> m_attributes; // the last ones sent, for the entry that follows
    std::optional<Attributes> m_fileAttributes;
    std::vector<FolderAttributes> m_folders; // set at the copy's end
    bool m_keepPartials = true;
    QByteArray m_sender;
    PartialFile m_partial;
};
