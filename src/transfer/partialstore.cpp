#include "transfer/partialstore.h"

#include "text/printable.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "transfer/chunkdigests.h"

namespace {

const char kMagic[8] = {'F', 'W', 'P', 'A', 'R', 'T', 'L', '1'};
constexpr qsizetype kHeadFixed = 32; // magic, size, time, chunk size, two lengths
constexpr qsizetype kEntrySize = 32;
constexpr qint64 kLargestRecord = qint64(64) << 20;
constexpr std::uint32_t kChunkHeld = 1;
constexpr std::uint32_t kChunkGone = 2;
constexpr std::uint32_t kClosedCleanly = 3;
// Seconds a data file without a record must have been left alone before it counts as lost.
constexpr time_t kOrphanAge = 10;

QString errorText(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

template <typename T>
void put(QByteArray& out, qsizetype at, T value)
{
    qToLittleEndian(value, reinterpret_cast<std::uint8_t*>(out.data()) + at);
}

template <typename T>
T get(const QByteArray& in, qsizetype at)
{
    return qFromLittleEndian<T>(reinterpret_cast<const std::uint8_t*>(in.constData()) + at);
}

QByteArray keyOf(const QByteArray& sender, const QByteArray& path)
{
    const QByteArray both = sender + '\0' + path;
    const Digest digest = ChunkDigests::Of(both.constData(), std::size_t(both.size()));
    return QByteArray(reinterpret_cast<const char*>(digest.data()), qsizetype(digest.size())).toHex();
}

QByteArray header(const PartialStore::Identity& id)
{
    const QByteArray sender = id.sender.left(255);
    QByteArray out(kHeadFixed + sender.size() + id.path.size() + 8, '\0');
    std::memcpy(out.data(), kMagic, sizeof kMagic);
    put<std::uint64_t>(out, 8, static_cast<std::uint64_t>(id.size));
    put<std::int64_t>(out, 16, id.modifiedNs);
    put<std::uint32_t>(out, 24, static_cast<std::uint32_t>(ChunkSizeFor(id.size)));
    put<std::uint16_t>(out, 28, static_cast<std::uint16_t>(sender.size()));
    put<std::uint16_t>(out, 30, static_cast<std::uint16_t>(id.path.size()));
    std::memcpy(out.data() + kHeadFixed, sender.constData(), std::size_t(sender.size()));
    std::memcpy(out.data() + kHeadFixed + sender.size(), id.path.constData(), std::size_t(id.path.size()));
    const qsizetype body = out.size() - 8;
    put<std::uint64_t>(out, body, XXH3_64bits(out.constData(), std::size_t(body)));
    return out;
}

struct Contents {
    PartialStore::Identity id;
    qint64 chunkSize = 0;
    std::map<std::uint32_t, Digest> chunks;
    bool clean = false;
};

bool readAll(int fd, QByteArray* out)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size > kLargestRecord)
        return false;
    out->resize(qsizetype(info.st_size));
    qsizetype done = 0;
    while (done < out->size()) {
        const ssize_t got = ::pread(fd, out->data() + done, std::size_t(out->size() - done), done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += got;
    }
    return true;
}

// False when the record is damaged.
bool parse(const QByteArray& bytes, Contents* contents)
{
    if (bytes.size() < kHeadFixed + 8 || std::memcmp(bytes.constData(), kMagic, sizeof kMagic) != 0)
        return false;
    const qsizetype senderLength = get<std::uint16_t>(bytes, 28);
    const qsizetype pathLength = get<std::uint16_t>(bytes, 30);
    const qsizetype body = kHeadFixed + senderLength + pathLength;
    if (bytes.size() < body + 8 || get<std::uint64_t>(bytes, body) != XXH3_64bits(bytes.constData(), std::size_t(body)))
        return false;
    contents->id.size = static_cast<qint64>(get<std::uint64_t>(bytes, 8));
    contents->id.modifiedNs = get<std::int64_t>(bytes, 16);
    contents->chunkSize = get<std::uint32_t>(bytes, 24);
    contents->id.sender = bytes.mid(kHeadFixed, senderLength);
    contents->id.path = bytes.mid(kHeadFixed + senderLength, pathLength);
    if (contents->id.size < 0 || contents->chunkSize != ChunkSizeFor(contents->id.size))
        return false;
    const qint64 chunks = (contents->id.size + contents->chunkSize - 1) / contents->chunkSize;
    contents->clean = false;
    for (qsizetype at = body + 8; at + kEntrySize <= bytes.size(); at += kEntrySize) {
        const bool last = at + 2 * kEntrySize > bytes.size();
        if (get<std::uint64_t>(bytes, at + 24) != XXH3_64bits(bytes.constData() + at, 24)) {
            if (last)
                break; // a write cut short by a power cut: the entry never was
            return false;
        }
        const std::uint32_t index = get<std::uint32_t>(bytes, at);
        const std::uint32_t kind = get<std::uint32_t>(bytes, at + 4);
        if (kind != kClosedCleanly && qint64(index) >= chunks)
            return false;
        contents->clean = kind == kClosedCleanly;
        if (kind == kChunkHeld) {
            Digest digest;
            std::memcpy(digest.data(), bytes.constData() + at + 8, digest.size());
            contents->chunks[index] = digest;
        } else if (kind == kChunkGone) {
            contents->chunks.erase(index);
        } else if (kind != kClosedCleanly) {
            return false;
        }
    }
    return true;
}

bool readRecord(int folder, const QByteArray& name, Contents* contents, bool* damaged)
{
    *damaged = false;
    const int fd = ::openat(folder, name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    QByteArray bytes;
    const bool read = readAll(fd, &bytes);
    ::close(fd);
    *damaged = !read || !parse(bytes, contents);
    return !*damaged;
}

qint64 fileSize(int folder, const QByteArray& name, qint64* allocated = nullptr)
{
    struct stat info {};
    if (::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
        return -1;
    if (allocated)
        *allocated = qint64(info.st_blocks) * 512;
    return info.st_size;
}

// True when no running receiver holds the data file `name` (or it is gone).
bool unused(int folder, const QByteArray& name)
{
    const int fd = ::openat(folder, name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return true;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

void removeBoth(int folder, const QByteArray& key)
{
    ::unlinkat(folder, (key + ".part").constData(), 0);
    ::unlinkat(folder, (key + ".record").constData(), 0);
}

QString shown(const QByteArray& path)
{
    return Printable(QFile::decodeName(path));
}

} // namespace

PartialStore::~PartialStore()
{
    Close();
}

bool PartialStore::Open(int receiveFd, QString* error)
{
    Close();
    m_receive = ::fcntl(receiveFd, F_DUPFD_CLOEXEC, 0);
    if (m_receive < 0)
        *error = errorText(errno);
    return m_receive >= 0;
}

void PartialStore::Close()
{
    Finish(false);
    if (m_folder >= 0)
        ::close(m_folder);
    if (m_receive >= 0)
        ::close(m_receive);
    m_folder = m_receive = -1;
}

bool PartialStore::makeFolder(QString* error)
{
    if (m_folder >= 0)
        return true;
    if (m_receive < 0) {
        *error = errorText(EBADF);
        return false;
    }
    if (::mkdirat(m_receive, kFolder, 0700) != 0 && errno != EEXIST) {
        *error = errorText(errno);
        return false;
    }
    m_folder = ::openat(m_receive, kFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_folder < 0)
        *error = errorText(errno);
    return m_folder >= 0;
}

qint64 PartialStore::SpaceHeld(const Identity& id) const
{
    const int folder =
        m_folder >= 0
            ? m_folder
            : (m_receive >= 0 ? ::openat(m_receive, kFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1);
    if (folder < 0)
        return 0;
    const QByteArray key = keyOf(id.sender, id.path);
    Contents contents;
    bool damaged = false;
    qint64 allocated = 0;
    const bool same = readRecord(folder, key + ".record", &contents, &damaged) && contents.id.sender == id.sender
                      && contents.id.path == id.path && contents.id.size == id.size
                      && contents.id.modifiedNs == id.modifiedNs && fileSize(folder, key + ".part", &allocated) >= 0;
    if (folder != m_folder)
        ::close(folder);
    return same ? std::min(allocated, id.size) : 0;
}

bool PartialStore::Resume(const Identity& id, std::map<std::uint32_t, Digest>* held, QByteArray* partName,
                          QString* thrownAway)
{
    Finish(false);
    thrownAway->clear();
    held->clear();
    if (m_folder < 0 && m_receive >= 0)
        m_folder = ::openat(m_receive, kFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_folder < 0)
        return false;
    const QByteArray key = keyOf(id.sender, id.path);
    const QByteArray part = key + ".part";
    Contents contents;
    bool damaged = false;
    if (!readRecord(m_folder, key + ".record", &contents, &damaged)) {
        if (damaged && unused(m_folder, part)) {
            removeBoth(m_folder, key);
            *thrownAway = QStringLiteral("its record is damaged");
        }
        return false;
    }
    if (!unused(m_folder, part))
        return false; // another receiver is writing it
    if (contents.id.sender != id.sender || contents.id.path != id.path) {
        return false; // another file's, by a rare coincidence of keys: left alone
    }
    if (contents.id.size != id.size || contents.id.modifiedNs != id.modifiedNs) {
        removeBoth(m_folder, key);
        *thrownAway = QStringLiteral("the file has changed since (size or time)");
        return false;
    }
    const qint64 length = fileSize(m_folder, part);
    qint64 needed = 0;
    if (!contents.chunks.empty()) {
        const qint64 last = qint64(contents.chunks.rbegin()->first) * contents.chunkSize;
        needed = last + std::min(contents.chunkSize, id.size - last);
    }
    if (length < needed) {
        removeBoth(m_folder, key);
        *thrownAway =
            length < 0
                ? QStringLiteral("its data is gone")
                : QStringLiteral("its data is shorter than its record says (%1 of %2 bytes)").arg(length).arg(needed);
        return false;
    }
    m_record = ::openat(m_folder, (key + ".record").constData(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (m_record < 0)
        return false;
    m_key = key;
    if (!contents.clean && !contents.chunks.empty()) {
        // The receiver stopped without flushing: check what the disk holds.
        const int data = ::openat(m_folder, part.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        std::vector<char> buffer(static_cast<std::size_t>(contents.chunkSize));
        int dropped = 0;
        for (auto it = contents.chunks.begin(); it != contents.chunks.end();) {
            const qint64 offset = qint64(it->first) * contents.chunkSize;
            const auto bytes = static_cast<std::size_t>(std::min(contents.chunkSize, id.size - offset));
            std::size_t got = 0;
            while (data >= 0 && got < bytes) {
                const ssize_t n = ::pread(data, buffer.data() + got, bytes - got, offset + qint64(got));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                got += std::size_t(n);
            }
            if (got == bytes && ChunkDigests::Of(buffer.data(), bytes) == it->second) {
                ++it;
                continue;
            }
            Invalidate(it->first);
            it = contents.chunks.erase(it);
            ++dropped;
        }
        if (data >= 0)
            ::close(data);
        if (dropped > 0)
            *thrownAway = QStringLiteral("%1 chunks no longer held what the record said").arg(dropped);
    }
    *held = std::move(contents.chunks);
    *partName = part;
    return true;
}

bool PartialStore::Start(const Identity& id, QByteArray* partName, QString* error)
{
    Finish(false);
    if (!makeFolder(error))
        return false;
    const QByteArray key = keyOf(id.sender, id.path);
    removeBoth(m_folder, key);
    m_record = ::openat(m_folder, (key + ".record").constData(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_record < 0) {
        *error = errorText(errno);
        return false;
    }
    const QByteArray head = header(id);
    if (::write(m_record, head.constData(), std::size_t(head.size())) != head.size()) {
        *error = errorText(errno);
        ::close(m_record);
        m_record = -1;
        removeBoth(m_folder, key);
        return false;
    }
    m_key = key;
    *partName = key + ".part";
    return true;
}

void PartialStore::appendEntry(std::uint32_t index, std::uint32_t kind, const Digest& digest)
{
    if (m_record < 0)
        return;
    QByteArray entry(kEntrySize, '\0');
    put<std::uint32_t>(entry, 0, index);
    put<std::uint32_t>(entry, 4, kind);
    std::memcpy(entry.data() + 8, digest.data(), digest.size());
    put<std::uint64_t>(entry, 24, XXH3_64bits(entry.constData(), 24));
    // A record that cannot be written only costs a later resume its chunks.
    [[maybe_unused]] const ssize_t written = ::write(m_record, entry.constData(), std::size_t(kEntrySize));
}

void PartialStore::Record(std::uint32_t index, const Digest& digest)
{
    appendEntry(index, kChunkHeld, digest);
}

void PartialStore::Invalidate(std::uint32_t index)
{
    appendEntry(index, kChunkGone, Digest{});
}

void PartialStore::MarkClean()
{
    appendEntry(0, kClosedCleanly, Digest{});
    if (m_record >= 0)
        ::fdatasync(m_record);
}

void PartialStore::Finish(bool remove)
{
    if (m_record >= 0)
        ::close(m_record);
    m_record = -1;
    if (remove && m_folder >= 0 && !m_key.isEmpty())
        removeBoth(m_folder, m_key);
    m_key.clear();
}

void PartialStore::RemoveFolderIfEmpty()
{
    if (m_receive < 0)
        return;
    // Fails, as it should, while anything is left in it.
    ::unlinkat(m_receive, kFolder, AT_REMOVEDIR);
    if (m_folder >= 0 && ::faccessat(m_receive, kFolder, F_OK, AT_SYMLINK_NOFOLLOW) != 0) {
        ::close(m_folder);
        m_folder = -1;
    }
}

QStringList PartialStore::Expire(const QByteArray& receiveDirectory, qint64 maxAgeSeconds, qint64 budget)
{
    QStringList lines;
    // The receive directory is empty or ends in "/".
    const QByteArray folderPath = receiveDirectory + kFolder;
    const int folder = ::open(folderPath.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return lines;
    struct Kept {
        QByteArray key;
        QByteArray path;
        time_t time;
        qint64 bytes;
    };
    std::vector<Kept> kept;
    const time_t now = ::time(nullptr);
    DIR* dir = ::fdopendir(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    QList<QByteArray> names;
    while (dir) {
        const dirent* entry = ::readdir(dir);
        if (!entry)
            break;
        names << QByteArray(entry->d_name);
    }
    if (dir)
        ::closedir(dir);
    for (const QByteArray& name : std::as_const(names)) {
        if (name.endsWith(".part")) {
            const QByteArray key = name.chopped(5);
            struct stat info {};
            if (::fstatat(folder, (key + ".record").constData(), &info, AT_SYMLINK_NOFOLLOW) != 0
                && ::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0
                && now - info.st_mtime > kOrphanAge && unused(folder, name)) {
                ::unlinkat(folder, name.constData(), 0);
                lines << QStringLiteral("Removed a partial file without its record");
            }
            continue;
        }
        if (!name.endsWith(".record"))
            continue;
        const QByteArray key = name.chopped(7);
        const QByteArray part = key + ".part";
        if (!unused(folder, part))
            continue;
        Contents contents;
        bool damaged = false;
        struct stat info {};
        const bool read = readRecord(folder, name, &contents, &damaged);
        if (!read || ::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            removeBoth(folder, key);
            lines << QStringLiteral("Removed a partial file whose record is damaged");
            continue;
        }
        qint64 allocated = 0;
        if (fileSize(folder, part, &allocated) < 0) {
            removeBoth(folder, key);
            lines << QStringLiteral("Removed the record of \"%1\": its data is gone").arg(shown(contents.id.path));
            continue;
        }
        if (now - info.st_mtime > maxAgeSeconds) {
            removeBoth(folder, key);
            lines << QStringLiteral("Removed the partial file of \"%1\": cut off more than %2 days ago")
                         .arg(shown(contents.id.path))
                         .arg(maxAgeSeconds / 86400.0);
            continue;
        }
        kept.push_back({key, contents.id.path, info.st_mtime, allocated});
    }
    qint64 total = 0;
    for (const Kept& k : kept)
        total += k.bytes;
    if (budget < 0) {
        struct statvfs disk {};
        const qint64 free = ::fstatvfs(folder, &disk) == 0 ? qint64(disk.f_bavail) * qint64(disk.f_frsize) : 0;
        budget = (free + total) / 2;
    }
    std::sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) { return a.time < b.time; });
    for (const Kept& k : kept) {
        if (total <= budget)
            break;
        removeBoth(folder, k.key);
        total -= k.bytes;
        lines << QStringLiteral("Removed the partial file of \"%1\": partial files may take %2 bytes")
                     .arg(shown(k.path))
                     .arg(budget);
    }
    ::close(folder);
    // Nothing left: no hidden folder either.
    ::rmdir(folderPath.constData());
    return lines;
}
