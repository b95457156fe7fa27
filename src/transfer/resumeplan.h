#pragma once

#include "transfer/extensionmessages.h"

#include <QtGlobal>

#include <vector>

// A stretch of a file being resumed: kept (the receiver holds these chunks as they are
// here; their digests in order) or sent.
struct ResumeRange {
    qint64 offset = 0;
    qint64 length = 0;
    bool keep = false;
    std::vector<Digest> digests; // of the chunks kept
};

// Compares the chunks the receiver holds (`offer`) with those of the file open at `fd`, `size`
// bytes long, reading each of them here: the file's stretches in order, each kept or to be
// sent, with the bytes kept in `kept`. False when the file cannot be read.
bool PlanResume(int fd, qint64 size, const ResumeOffer& offer, std::vector<ResumeRange>* ranges, qint64* kept);
