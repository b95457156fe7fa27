// The extension's messages byte by byte, what their decoder refuses, the checks of a
// relative path, and the numbered names of the rename policy.
#include "transfer/existingfiles.h"
#include "transfer/extensionmessages.h"

#include <gtest/gtest.h>

#include <QtEndian>

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

TEST(ExtensionMessages, LayoutsByteByByte)
{
    const struct {
        const char* what;
        QByteArray encoded;
        QByteArray expected;
    } rows[] = {
        {"copy start", EncodeCopyStart({2048, true, 0xBEEF, 3, 2, 0x100000005ull, 1}),
         hex("10000000"
             "0100"
             "0008"
             "01"
             "00"
             "efbe"
             "03000000"
             "02000000"
             "0500000001000000")},
        {"copy start of version 2", EncodeCopyStart({512, false, 0, 1, 0, 7, 2}),
         hex("10000000"
             "0200"
             "0002"
             "00"
             "00"
             "0000"
             "01000000"
             "00000000"
             "0700000000000000")},
        {"attributes", EncodeAttributes({5, -1500000000, 0755}),
         hex("18000000"
             "05000000"
             "00d197a6ffffffff"
             "ed010000"
             "00000000")},
        {"keep", EncodeKeep({0x400000}),
         hex("19000000"
             "00000000"
             "0000400000000000")},
        {"file end", EncodeFileEnd({3, Digest{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}}),
         hex("1a000000"
             "03000000"
             "0102030405060708090a0b0c0d0e0f10")},
        {"resume offer", EncodeResumeOffer({4, 4u << 20, {{0, Digest{0xAA}}, {2, Digest{0xBB}}}}),
         hex("25000000"
             "04000000"
             "00004000"
             "02000000"
             "00000000"
             "aa000000000000000000000000000000"
             "02000000"
             "bb000000000000000000000000000000")},
        {"file", EncodeFileEntry({7, 0x100000003ull, "d/a.txt"}),
         hex("11000000"
             "07000000"
             "0300000001000000"
             "0700"
             "0000")
             + "d/a.txt"},
        {"folder", EncodeFolderEntry({1, "d"}),
         hex("12000000"
             "01000000"
             "0100"
             "0000")
             + "d"},
        {"zero run", EncodeZeroRun({0x200000000ull}),
         hex("13000000"
             "00000000"
             "0000000002000000")},
        {"copy end", EncodeCopyEnd({9}),
         hex("14000000"
             "09000000")},
        {"receipt", EncodeReceipt({7, EntryKind::File, Outcome::Stored, 2, 3, 3, 0, "a (1).txt", {}}),
         hex("20000000"
             "07000000"
             "01"
             "01"
             "02"
             "00"
             "0300000000000000"
             "0300000000000000"
             "00000000"
             "0900"
             "0000")
             + "a (1).txt"},
        {"receipt with a note", EncodeReceipt({2, EntryKind::Folder, Outcome::Refused, 2, 0, 0, 0, {}, "Read-only"}),
         hex("20000000"
             "02000000"
             "02"
             "03"
             "02"
             "00"
             "0000000000000000"
             "0000000000000000"
             "00000000"
             "0000"
             "0900")
             + "Read-only"},
        {"summary", EncodeSummary({1, 2, 3, 4, 5, 0x100000000ull}),
         hex("21000000"
             "01000000"
             "02000000"
             "03000000"
             "04000000"
             "05000000"
             "0000000001000000")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.encoded.toHex(), row.expected.toHex());
        const ExtensionMessage decoded = DecodeExtensionMessage(row.encoded);
        ASSERT_FALSE(std::holds_alternative<RejectedMessage>(decoded))
            << std::get<RejectedMessage>(decoded).reason.toStdString();
        EXPECT_TRUE(IsExtensionType(qFromLittleEndian<std::uint32_t>(row.encoded.constData())));
    }
    EXPECT_EQ(std::get<FileEntry>(DecodeExtensionMessage(rows[6].encoded)), (FileEntry{7, 0x100000003ull, "d/a.txt"}));
    EXPECT_EQ(std::get<Receipt>(DecodeExtensionMessage(rows[10].encoded)).storedAs, "a (1).txt");
    EXPECT_EQ(std::get<Receipt>(DecodeExtensionMessage(rows[11].encoded)).note, "Read-only");
    EXPECT_EQ(std::get<Attributes>(DecodeExtensionMessage(rows[2].encoded)), (Attributes{5, -1500000000, 0755}));
    const QByteArray careful = EncodeAttributes({5, 0, 0644, kCarefulEntry});
    EXPECT_EQ(careful.toHex(), hex("18000000"
                                   "05000000"
                                   "0000000000000000"
                                   "a4010000"
                                   "01000000")
                                   .toHex());
    EXPECT_EQ(std::get<Attributes>(DecodeExtensionMessage(careful)), (Attributes{5, 0, 0644, kCarefulEntry}));
    EXPECT_EQ(std::get<ResumeOffer>(DecodeExtensionMessage(rows[5].encoded)).chunks.size(), 2u);
    for (const std::uint32_t type : {0u, 1u, 2u, 3u, 15u, 21u, 31u, 34u})
        EXPECT_FALSE(IsExtensionType(type)) << type;
}

TEST(ExtensionMessages, TheDecoderRefusesWhatDoesNotFit)
{
    const auto with = [](QByteArray bytes, qsizetype at, const QByteArray& value) {
        bytes.replace(at, value.size(), value);
        return bytes;
    };
    const QByteArray start = EncodeCopyStart({2048, false, 0, 1, 0, 3});
    const QByteArray file = EncodeFileEntry({1, 3, "a"});
    const QByteArray folder = EncodeFolderEntry({1, "a"});
    const QByteArray receipt = EncodeReceipt({1, EntryKind::File, Outcome::Stored, 0, 3, 3, 0, {}, {}});
    const struct {
        const char* what;
        QByteArray bytes;
    } rows[] = {
        {"three bytes", "\x10\0\0"},
        {"copy start one byte short", start.chopped(1)},
        {"copy start one byte long", start + '\0'},
        {"copy start of version 3", with(start, 4, hex("0300"))},
        {"copy start of version 0", with(start, 4, hex("0000"))},
        {"attributes with mode 010000", EncodeAttributes({1, 0, 010000})},
        {"attributes for entry 0", EncodeAttributes({0, 0, 0644})},
        {"attributes with an unknown flag", with(EncodeAttributes({1, 0, 0644}), 20, hex("02000000"))},
        {"keep of 0 bytes", EncodeKeep({0})},
        {"file end one byte short", EncodeFileEnd({1, {}}).chopped(1)},
        {"file end for entry 0", EncodeFileEnd({0, {}})},
        {"resume offer with chunks of 3 MiB", EncodeResumeOffer({1, 3u << 20, {}})},
        {"resume offer with chunks of 512 KiB", EncodeResumeOffer({1, 1u << 19, {}})},
        {"resume offer whose indexes fall", EncodeResumeOffer({1, 4u << 20, {{2, {}}, {1, {}}}})},
        {"resume offer whose count is past the end",
         with(EncodeResumeOffer({1, 4u << 20, {{0, {}}}}), 12, hex("02000000"))},
        {"resume offer of 8193 chunks", with(EncodeResumeOffer({1, 4u << 20, {}}), 12, hex("01200000"))},
        {"copy start with block size 0", with(start, 6, hex("0000"))},
        {"copy start with block size 2049", with(start, 6, hex("0108"))},
        {"copy start with encryption flag 2", with(start, 8, hex("02"))},
        {"file for entry 0", with(file, 4, hex("00000000"))},
        {"file with an empty path", with(file.chopped(1), 16, hex("0000"))},
        {"file whose path is longer than its length", file + 'b'},
        {"file whose length is past the end", with(file, 16, hex("0200"))},
        {"file with a path of 4097 bytes",
         EncodeFileEntry({1, 3, QByteArray(4096, 'a')}).append('a').replace(16, 2, hex("0110"))},
        {"file head only", file.left(19)},
        {"file with a non-zero field after the path length", with(file, 18, hex("0100"))},
        {"folder for entry 0", with(folder, 4, hex("00000000"))},
        {"folder with a non-zero field after the path length", with(folder, 10, hex("0001"))},
        {"zero run with a non-zero second field", with(EncodeZeroRun({1}), 4, hex("01000000"))},
        {"receipt with a non-zero byte 11", with(receipt, 11, hex("01"))},
        {"folder with a path past the end", with(folder, 8, hex("0500"))},
        {"zero run of 0 bytes", EncodeZeroRun({0})},
        {"zero run one byte long", EncodeZeroRun({1}) + '\0'},
        {"copy end one byte short", EncodeCopyEnd({1}).chopped(1)},
        {"receipt for entry 0", with(receipt, 4, hex("00000000"))},
        {"receipt of kind 3", with(receipt, 8, hex("03"))},
        {"receipt with outcome 5", with(receipt, 9, hex("05"))},
        {"receipt with stored detail 5", with(receipt, 10, hex("05"))},
        {"receipt refused for reason 0", with(with(receipt, 9, hex("03")), 10, hex("00"))},
        {"receipt with a name past the end", with(receipt, 32, hex("0100"))},
        {"receipt with a note past the end", with(receipt, 34, hex("0100"))},
        {"receipt with a note of 1025 bytes", with(receipt, 34, hex("0104")) + QByteArray(1025, 'n')},
        {"summary one byte short", EncodeSummary({}).chopped(1)},
        {"a type of the plain protocol", QByteArray::fromHex("0300000000000000")},
    };
    for (const auto& row : rows) {
        const ExtensionMessage decoded = DecodeExtensionMessage(row.bytes);
        ASSERT_TRUE(std::holds_alternative<RejectedMessage>(decoded)) << row.what;
        EXPECT_FALSE(std::get<RejectedMessage>(decoded).reason.isEmpty()) << row.what;
    }
}

TEST(ExtensionMessages, TheOfferNamesTheExtensionAndItsVersion)
{
    EXPECT_EQ(ExtensionOffer(1), 0x01585746u);
    EXPECT_EQ(OfferedExtension(ExtensionOffer(1)), 1);
    EXPECT_EQ(OfferedExtension(ExtensionOffer(7)), 7);
    for (const std::uint32_t user : {0u, 1u, 0x01585747u, 0x585746u})
        EXPECT_EQ(OfferedExtension(user), 0) << user;
}

TEST(ExtensionMessages, EveryPartOfAPathIsCheckedLikeAName)
{
    const struct {
        QByteArray path;
        bool safe;
    } rows[] = {
        {"a", true},
        {"a/b/c.txt", true},
        {"Grüße/#1 -x 'q' ..txt", true},
        {"...", true},
        {QByteArray(255, 'n') + "/" + QByteArray(255, 'n'), true},
        {"", false},
        {"/etc/passwd", false},
        {"..", false},
        {"../x", false},
        {"a/../../x", false},
        {"a/..", false},
        {"./a", false},
        {"a/./b", false},
        {"a//b", false},
        {"a/", false},
        {"a\\b", false},
        {"..\\x", false},
        {"a\nb", false},
        {QByteArray("a\0b", 3), false},
        {"a\x7f", false},
        {"\x1b[2J", false},
        {QByteArray(256, 'n'), false},
        {QByteArray(4097, 'n'), false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(PathProblem(row.path).isEmpty(), row.safe) << row.path.toStdString();
}

TEST(ExistingFilesPolicy, NumberedNamesAndPolicyWords)
{
    const struct {
        QByteArray name;
        int number;
        QByteArray expected;
    } rows[] = {
        {"a.txt", 1, "a (1).txt"},
        {"a.txt", 12, "a (12).txt"},
        {"archive.tar.gz", 1, "archive (1).tar.gz"},
        {"Backup.TAR.xz", 2, "Backup (2).TAR.xz"},
        {".tar.gz", 1, ".tar (1).gz"},
        {"a", 2, "a (2)"},
        {".profile", 1, ".profile (1)"},
        {"a.", 1, "a (1)."},
        {QByteArray(251, 'x') + ".txt", 1, QByteArray(247, 'x') + " (1).txt"},
        // A character is never split: the cut steps back to the start of "ü".
        {QByteArray(246, 'x') + "üyyy.txt", 1, QByteArray(246, 'x') + " (1).txt"},
        {"x." + QByteArray(253, 'e'), 1, "x." + QByteArray(249, 'e') + " (1)"},
    };
    for (const auto& row : rows) {
        const QByteArray numbered = NumberedName(row.name, row.number);
        EXPECT_EQ(numbered, row.expected) << row.name.toStdString();
        EXPECT_LE(numbered.size(), 255);
    }
    for (const ExistingFiles policy : {ExistingFiles::Overwrite, ExistingFiles::Rename, ExistingFiles::Skip})
        EXPECT_EQ(ParseExistingFiles(ExistingFilesText(policy)), policy);
    EXPECT_EQ(ParseExistingFiles("Rename"), std::nullopt);
    EXPECT_EQ(ParseExistingFiles(""), std::nullopt);
}

} // namespace
