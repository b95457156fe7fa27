#include "platform/apperror.h"
#include "widgets/filelistbox.h"
#include "widgets/support/fixturetree.h"

#include <QtTest>

namespace {

QStringList Names(const FileListBox& box)
{
    QStringList names;
    for (int row = 0; row < box.count(); ++row)
        names << box.item(row)->text();
    return names;
}

QPoint RowCentre(const FileListBox& box, int row)
{
    return box.visualItemRect(box.item(row)).center();
}

} // namespace

class FileListBoxTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void listsTheFilesOfAFolderByName();
    void reportsSelectedFilesByName();
    void folderThatCannotBeEntered();
    void bigFolderListsCompletelyInTheBackground();

private:
    FixtureTree* m_tree = nullptr;
    QString m_savedCwd;
};

void FileListBoxTest::init()
{
    m_savedCwd = QDir::currentPath();
    m_tree = new FixtureTree;
    QVERIFY(m_tree->IsValid());
    for (const char* name : {"b.txt", "A.txt", "C.doc", ".hidden", "sub/inner.txt", "other/x.bin", "other/Y.bin"}) {
        const QString relative = QString::fromLatin1(name);
        if (relative.contains(QLatin1Char('/')))
            m_tree->MakeDir(relative.section(QLatin1Char('/'), 0, 0));
        m_tree->MakeFile(relative, 4);
    }
    m_tree->MakeFifo(QStringLiteral("pipe"));
}

void FileListBoxTest::cleanup()
{
    QDir::setCurrent(m_savedCwd);
    delete m_tree;
    m_tree = nullptr;
}

void FileListBoxTest::listsTheFilesOfAFolderByName()
{
    FileListBox box;
    box.SetDirectory(m_tree->Path() + QLatin1Char('/')); // as the tree hands it over
    // Ordinary files only, names as stored, in name order without regard to case.
    QCOMPARE(Names(box), (QStringList{"A.txt", "b.txt", "C.doc"}));
    QCOMPARE(box.Directory(), m_tree->Path());
    QCOMPARE(QDir::currentPath(), m_tree->Path());

    box.SetMask(QStringLiteral("*.TXT"));
    QCOMPARE(Names(box), (QStringList{"A.txt", "b.txt"}));
}

void FileListBoxTest::reportsSelectedFilesByName()
{
    FileListBox box;
    box.SetDirectory(m_tree->Path());
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QCOMPARE(box.SelectedNames(), QStringList());

    QTest::mouseClick(box.viewport(), Qt::LeftButton, {}, RowCentre(box, 2));
    QTest::mouseClick(box.viewport(), Qt::LeftButton, Qt::ControlModifier, RowCentre(box, 0));
    QCOMPARE(box.SelectedNames(), (QStringList{"A.txt", "C.doc"})); // list order, no path
    QCOMPARE(box.FileName(), m_tree->Path(QStringLiteral("A.txt")));

    // Another folder: its files, nothing selected.
    box.SetDirectory(m_tree->Path(QStringLiteral("other")));
    QCOMPARE(Names(box), (QStringList{"x.bin", "Y.bin"}));
    QCOMPARE(box.SelectedNames(), QStringList());
    QCOMPARE(QDir::currentPath(), m_tree->Path(QStringLiteral("other")));
}

void FileListBoxTest::folderThatCannotBeEntered()
{
    FileListBox box;
    box.SetDirectory(m_tree->Path());
    QDir::setCurrent(QDir::rootPath());
    QVERIFY_THROWS_EXCEPTION(AppError, box.SetDirectory(m_tree->Path(QStringLiteral("missing"))));
    QCOMPARE(box.Directory(), m_tree->Path());
    QCOMPARE(Names(box), (QStringList{"A.txt", "b.txt", "C.doc"}));
    QCOMPARE(QDir::currentPath(), QDir::rootPath());
}

void FileListBoxTest::bigFolderListsCompletelyInTheBackground()
{
    // More files than are listed in place: the rest arrive from the event loop, in order,
    // and a folder chosen meanwhile replaces the one still being read.
    constexpr int kFiles = 6000;
    m_tree->MakeDir(QStringLiteral("big"));
    QStringList expected;
    for (int i = kFiles - 1; i >= 0; --i) {
        const QString name = QStringLiteral("f%1.txt").arg(i, 5, 10, QLatin1Char('0'));
        m_tree->MakeFile(QStringLiteral("big/") + name);
        expected.prepend(name);
    }

    FileListBox box;
    box.SetDirectory(m_tree->Path(QStringLiteral("big")));
    box.SetDirectory(m_tree->Path(QStringLiteral("other")));
    QTRY_VERIFY_WITH_TIMEOUT(!box.Filling(), 10000);
    QCOMPARE(Names(box), (QStringList{"x.bin", "Y.bin"}));

    QSignalSpy filled(&box, &FileListBox::Filled);
    box.SetDirectory(m_tree->Path(QStringLiteral("big")));
    QVERIFY(box.Filling());
    QVERIFY(box.count() < kFiles);
    QTRY_VERIFY_WITH_TIMEOUT(!box.Filling(), 10000);
    QCOMPARE(filled.count(), 1);
    QCOMPARE(Names(box), expected);

    // Choosing all of them for a copy.
    box.selectAll();
    QCOMPARE(box.SelectedNames(), expected);

    // Files chosen while the folder is still being shown (the program started with them, or
    // dropped) are selected as they appear; a whole folder the same way.
    const QStringList some{expected[1], expected[2500], expected[2501], expected[kFiles - 1]};
    box.Refill();
    QVERIFY(box.Filling());
    box.SelectNames(some);
    QTRY_VERIFY_WITH_TIMEOUT(!box.Filling(), 10000);
    QCOMPARE(box.SelectedNames(), some);
    QCOMPARE(box.currentItem()->text(), expected[1]);
    box.Refill();
    box.SelectAllFiles();
    QTRY_VERIFY_WITH_TIMEOUT(!box.Filling(), 10000);
    QCOMPARE(box.SelectedNames(), expected);
    // Another folder read meanwhile drops what was not shown yet.
    box.Refill();
    box.SelectAllFiles();
    box.SetDirectory(m_tree->Path(QStringLiteral("other")));
    QTRY_VERIFY_WITH_TIMEOUT(!box.Filling(), 10000);
    QVERIFY(box.SelectedNames().isEmpty());
}

QTEST_MAIN(FileListBoxTest)
#include "tst_filelistbox.moc"
