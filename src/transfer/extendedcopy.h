#pragma once

#include "transfer/extensionmessages.h"

#include <QByteArrayView>

class ReceivingEngine;

// The extension's side of the receiving engine: its messages decoded and checked, a copy's
// start, its file and folder entries (paths checked part by part), runs of zeros and the
// copy's end with its summary. The messages of version 2 go on to ResumeReceiver; the open
// file, its states and the answers stay the engine's.
class ExtendedCopy {
public:
    explicit ExtendedCopy(ReceivingEngine& engine) : m_engine(engine) {}

    ExtendedCopy(const ExtendedCopy&) = delete;
    ExtendedCopy& operator=(const ExtendedCopy&) = delete;

    // Handles one message of the extension as it arrived.
    void HandleMessage(QByteArrayView bytes);

private:
    void copyStart(const CopyStart& start);
    void fileEntry(const FileEntry& entry);
    void folderEntry(const FolderEntry& entry);
    void zeroRun(const ZeroRun& run);
    void copyEnd(const CopyEnd& end);

    ReceivingEngine& m_engine;
};
