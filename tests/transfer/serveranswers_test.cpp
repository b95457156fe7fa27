#include "support/recordingviews.h"
#include "transfer/extensionmessages.h"
#include "transfer/serveranswers.h"
#include "transfer/storedfiles.h"

#include <gtest/gtest.h>

namespace {

// The answers keep the names of the entries still waiting only: a copy's problems, and the
// entries never answered for, are named in the order of the entries however the receipts
// came; what the server stored is counted and kept as keys of name, size and time.
TEST(ServerAnswersTest, WhatWasNotStoredIsNamedInEntryOrder)
{
    RecordingView view;
    ServerAnswers answers(view);
    answers.Begin(true);
    const auto receipt = [&](std::uint32_t entry, EntryKind kind, Outcome outcome, std::uint8_t detail = 0) {
        Receipt r;
        r.entry = entry;
        r.kind = kind;
        r.outcome = outcome;
        r.detail = detail;
        r.size = 3;
        const QByteArray bytes = EncodeReceipt(r);
        answers.Handle(bytes.constData(), bytes.size(), true);
    };
    answers.SetCurrentEntry(1, "d", true);
    answers.SetCurrentEntry(2, "d/a.txt", false);
    answers.SetCurrentFile(3, 100);
    answers.SetCurrentEntry(3, "d/b.txt", false);
    answers.SetCurrentFile(5, 200);
    answers.SetCurrentEntry(4, "d/c.txt", false);
    answers.SetCurrentFile(7, 300);
    answers.SetCurrentEntry(5, "d/e.txt", false);
    answers.SetCurrentFile(9, 400);
    receipt(4, EntryKind::File, Outcome::Refused, std::uint8_t(RefusedWhy::CannotCreate));
    receipt(1, EntryKind::Folder, Outcome::Stored);
    receipt(2, EntryKind::File, Outcome::Stored);
    receipt(2, EntryKind::File, Outcome::Stored);
    receipt(6, EntryKind::File, Outcome::Stored);
    receipt(5, EntryKind::File, Outcome::Skipped);
    EXPECT_TRUE(answers.Answered(2));
    EXPECT_FALSE(answers.Answered(3));

    const QList<EntryProblem>& problems = answers.CollectProblems();
    ASSERT_EQ(problems.size(), 2);
    EXPECT_EQ(problems[0].name, "d/b.txt");
    EXPECT_EQ(problems[0].reason, "no word from the server");
    EXPECT_EQ(problems[1].name, "d/c.txt");
    EXPECT_EQ(problems[1].reason, "the server cannot create it");
    EXPECT_EQ(view.log, (QStringList{"Refused \"d/c.txt\": the server cannot create it", "Folder \"d\" made",
                                     "Stored \"d/a.txt\" (3 bytes)", "Message dropped: a second receipt for entry 2",
                                     "Message dropped: a receipt for entry 6, which was not sent",
                                     "Skipped \"d/e.txt\": the server keeps its file of that name"}));

    // Skipped files count as stored: the server keeps its own.
    EXPECT_EQ(answers.FilesStored(), 2);
    EXPECT_EQ(answers.BytesStored(), 3 + 9);
    EXPECT_EQ(answers.Stored().Count(), 2u);
    EXPECT_TRUE(answers.Stored().Contains(StoredFiles::Key("d/a.txt", 3, 100)));
    EXPECT_TRUE(answers.Stored().Contains(StoredFiles::Key("d/e.txt", 9, 400)));
    EXPECT_FALSE(answers.Stored().Contains(StoredFiles::Key("d/a.txt", 4, 100))) << "changed since: goes again";
    EXPECT_FALSE(answers.Stored().Contains(StoredFiles::Key("d/a.txt", 3, 101)));
    EXPECT_FALSE(answers.Stored().Contains(StoredFiles::Key("d/c.txt", 7, 300))) << "refused: goes again";
}

} // namespace
