#include "transfer/resumeplan.h"

#include "transfer/chunkdigests.h"

#include <map>

bool PlanResume(int fd, qint64 size, const ResumeOffer& offer, std::vector<ResumeRange>* ranges, qint64* kept)
{
    ranges->clear();
    *kept = 0;
    std::map<std::uint32_t, Digest> held;
    for (const OfferedChunk& chunk : offer.chunks)
        held[chunk.index] = chunk.digest;
    const qint64 chunk = offer.chunkSize;
    for (qint64 offset = 0; offset < size; offset += chunk) {
        const qint64 length = std::min(chunk, size - offset);
        const auto found = held.find(static_cast<std::uint32_t>(offset / chunk));
        Digest digest{};
        bool keep = false;
        if (found != held.end()) {
            if (!ChunkDigests::OfFile(fd, offset, length, &digest))
                return false;
            keep = digest == found->second;
        }
        if (ranges->empty() || ranges->back().keep != keep)
            ranges->push_back({offset, 0, keep, {}});
        ranges->back().length += length;
        if (keep) {
            ranges->back().digests.push_back(digest);
            *kept += length;
        }
    }
    return true;
}
