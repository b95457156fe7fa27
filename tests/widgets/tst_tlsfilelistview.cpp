#include "platform/apperror.h"
#include "widgets/support/fixturetree.h"
#include "widgets/tlsfilelistview.h"

#include <QHeaderView>
#include <QMimeDatabase>
#include <QtTest>

#include <algorithm>

namespace {

QStringList Column(const TLsFileListView& view, int column)
{
    QStringList texts;
    for (int i = 0; i < view.topLevelItemCount(); ++i)
        texts << view.topLevelItem(i)->text(column);
    return texts;
}

QStringList SortedCaptions(const TLsFileListView& view)
{
    QStringList captions = Column(view, TLsFileListView::colName);
    captions.sort();
    return captions;
}

QTreeWidgetItem* ItemCalled(const TLsFileListView& view, const QString& caption)
{
    const QList<QTreeWidgetItem*> found = view.findItems(caption, Qt::MatchExactly, TLsFileListView::colName);
    return found.size() == 1 ? found.first() : nullptr;
}

// A point on the item's name, the part of the row that is always in view.
QPoint OnName(const TLsFileListView& view, QTreeWidgetItem* item)
{
    const QRect row = view.visualItemRect(item);
    return QPoint(row.left() + 10, row.center().y());
}

// As the window system delivers it: press, release, then the double-click.
void DoubleClick(QWidget* viewport, QPoint at)
{
    QTest::mouseClick(viewport, Qt::LeftButton, {}, at);
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, at);
}

void ClickHeader(TLsFileListView& view, int column)
{
    QHeaderView* header = view.header();
    const QPoint centre(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                        header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, centre);
}

QDateTime At(int year, int month, int day, int hour, int minute)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute));
}

} // namespace

class TLsFileListViewTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void columnCaptions();
    void items_data();
    void items();
    void modifiedText_data();
    void modifiedText();
    void sorting_data();
    void sorting();
    void sortingByTypeIgnoresCase();
    void directorySetTwiceIsANoOp();
    void directoryThatCannotBeEntered();
    void mask_data();
    void mask();
    void clickAndDoubleClick();
    void bigDirectoryListsCompletely();

private:
    FixtureTree* m_tree = nullptr;
    QString m_savedCwd;
};

void TLsFileListViewTest::init()
{
    m_savedCwd = QDir::currentPath();
    m_tree = new FixtureTree;
    QVERIFY(m_tree->IsValid());
}

void TLsFileListViewTest::cleanup()
{
    QDir::setCurrent(m_savedCwd);
    QLocale::setDefault(QLocale::system());
    delete m_tree;
    m_tree = nullptr;
}

void TLsFileListViewTest::columnCaptions()
{
    TLsFileListView view;
    QStringList captions;
    for (int column = 0; column < view.columnCount(); ++column)
        captions << view.headerItem()->text(column);
    QCOMPARE(captions, (QStringList{"Name", "Size", "Type", "Modified", "Attributes"}));
    QVERIFY(view.headerItem()->textAlignment(TLsFileListView::colSize) & Qt::AlignRight);
    QVERIFY(view.headerItem()->textAlignment(TLsFileListView::colAttributes) & Qt::AlignRight);
    for (int column = 0; column < TLsFileListView::colAttributes; ++column)
        QVERIFY(view.columnWidth(column) > view.fontMetrics().horizontalAdvance(captions[column]));
}

void TLsFileListViewTest::items_data()
{
    QTest::addColumn<QString>("name"); // on disk
    QTest::addColumn<QString>("kind"); // how the fixture makes it
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("size");
    QTest::addColumn<QString>("attributes");

    QTest::newRow("capitals in lower case") << "ReadMe.TXT"
                                            << "file10"
                                            << "readme.txt"
                                            << "10"
                                            << "A";
    QTest::newRow("only ASCII letters lowered")
        << QString::fromUtf8("ÄrGER.Txt") << "file1" << QString::fromUtf8("Ärger.txt") << "1"
        << "A";
    QTest::newRow("read-only archive file") << "Locked.txt"
                                            << "readonly"
                                            << "locked.txt"
                                            << "3"
                                            << "AR";
    QTest::newRow("hidden empty file") << ".profile"
                                       << "file0"
                                       << ".profile"
                                       << "0"
                                       << "AH";
    QTest::newRow("directory") << "SubDir"
                               << "dir"
                               << "subdir"
                               << "0"
                               << "";
    QTest::newRow("hidden directory") << ".cache"
                                      << "dir"
                                      << ".cache"
                                      << "0"
                                      << "H";
    QTest::newRow("pipe") << "Pipe"
                          << "fifo"
                          << "pipe"
                          << "0"
                          << "S";
}

void TLsFileListViewTest::items()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, caption);
    QFETCH(QString, size);
    QFETCH(QString, attributes);
    if (kind == QLatin1String("dir"))
        m_tree->MakeDir(name);
    else if (kind == QLatin1String("fifo"))
        m_tree->MakeFifo(name);
    else if (kind == QLatin1String("readonly"))
        m_tree->MakeFile(name, 3), m_tree->SetMode(name, 0444);
    else
        m_tree->MakeFile(name, kind.mid(4).toInt());

    TLsFileListView view;
    view.SetDirectory(m_tree->Path());
    QCOMPARE(view.topLevelItemCount(), 1);
    const QTreeWidgetItem* item = view.topLevelItem(0);
    QCOMPARE(item->text(TLsFileListView::colName), caption);
    QVERIFY(!item->icon(TLsFileListView::colName).isNull());
    const QStringList sub = TLsFileListView::SubItems(item);
    QCOMPARE(sub.size(), 6);
    QCOMPARE(sub[0], size);
    QVERIFY(!sub[1].isEmpty() && sub[1].size() <= 80);
    QCOMPARE(sub[3], attributes);
    QCOMPARE(sub[4], m_tree->Path(name)); // the name as stored on disk
    QCOMPARE(sub[5], kind == QLatin1String("dir") ? QStringLiteral("dir") : QStringLiteral("file"));
    for (int column = TLsFileListView::colSize; column <= TLsFileListView::colAttributes; ++column)
        QCOMPARE(item->text(column), sub[column - 1]);
}

void TLsFileListViewTest::modifiedText_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("expected");
    // Month, day, four-digit year and 24-hour time, with the locale's separators.
    QTest::newRow("US") << QLocale(QLocale::English, QLocale::UnitedStates) << "03/05/2024 17:09";
    QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany) << "03.05.2024 17:09";
}

void TLsFileListViewTest::modifiedText()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, expected);
    QLocale::setDefault(locale);
    m_tree->MakeFile(QStringLiteral("f"));
    m_tree->SetModified(QStringLiteral("f"), At(2024, 3, 5, 17, 9));
    TLsFileListView view;
    view.SetDirectory(m_tree->Path());
    QCOMPARE(view.topLevelItem(0)->text(TLsFileListView::colModified), expected);
}

void TLsFileListViewTest::sorting_data()
{
    QTest::addColumn<QList<int>>("clicks");
    QTest::addColumn<int>("column"); // the column whose texts are compared
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("descending");

    const int name = TLsFileListView::colName;
    const int size = TLsFileListView::colSize;
    const int modified = TLsFileListView::colModified;
    const int attributes = TLsFileListView::colAttributes;
    // Entries: a.txt 20 bytes 2020 "A", b.txt 300 bytes 2021 read-only "AR", .e.bin 5000 bytes
    // 2019 "AH", c.txt empty 2022 "A", folder d 2018 "".
    QTest::newRow("first click on Size: ascending, empty first")
        << QList<int>{size} << size << QStringList{"0", "0", "20", "300", "5000"} << false;
    QTest::newRow("Name: descending, empty last")
        << QList<int>{name} << name << QStringList{"b.txt", "a.txt", ".e.bin", "d", "c.txt"} << true;
    QTest::newRow("Name again: ascending, empty first")
        << QList<int>{name, name} << name << QStringList{"c.txt", "d", ".e.bin", "a.txt", "b.txt"} << false;
    QTest::newRow("Size after Name: descending, ties keep their order")
        << QList<int>{name, size} << name << QStringList{".e.bin", "b.txt", "a.txt", "d", "c.txt"} << true;
    QTest::newRow("Size twice after Name")
        << QList<int>{name, size, size} << name << QStringList{"d", "c.txt", "a.txt", "b.txt", ".e.bin"} << false;
    QTest::newRow("Modified: descending")
        << QList<int>{modified} << name << QStringList{"b.txt", "a.txt", ".e.bin", "c.txt", "d"} << true;
    QTest::newRow("Modified again: ascending")
        << QList<int>{modified, modified} << name << QStringList{"d", "c.txt", ".e.bin", "a.txt", "b.txt"} << false;
    QTest::newRow("Attributes: descending")
        << QList<int>{attributes} << name << QStringList{"b.txt", ".e.bin", "a.txt", "c.txt", "d"} << true;
}

void TLsFileListViewTest::sorting()
{
    QFETCH(QList<int>, clicks);
    QFETCH(int, column);
    QFETCH(QStringList, expected);
    QFETCH(bool, descending);
    m_tree->MakeFile(QStringLiteral("a.txt"), 20);
    m_tree->MakeFile(QStringLiteral("b.txt"), 300);
    m_tree->MakeFile(QStringLiteral(".e.bin"), 5000);
    m_tree->MakeFile(QStringLiteral("c.txt"), 0);
    m_tree->MakeDir(QStringLiteral("d"));
    m_tree->SetModified(QStringLiteral("a.txt"), At(2020, 1, 1, 12, 0));
    m_tree->SetModified(QStringLiteral("b.txt"), At(2021, 1, 1, 12, 0));
    m_tree->SetModified(QStringLiteral(".e.bin"), At(2019, 1, 1, 12, 0));
    m_tree->SetModified(QStringLiteral("c.txt"), At(2022, 1, 1, 12, 0));
    m_tree->SetModified(QStringLiteral("d"), At(2018, 1, 1, 12, 0));
    m_tree->SetMode(QStringLiteral("b.txt"), 0444);

    TLsFileListView view;
    view.SetDirectory(m_tree->Path());
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    for (const int click : clicks)
        ClickHeader(view, click);
    QCOMPARE(Column(view, column), expected);
    QCOMPARE(view.SortColumn(), clicks.last());
    QCOMPARE(view.SortDescending(), descending);
    QCOMPARE(view.header()->sortIndicatorSection(), clicks.last());
}

void TLsFileListViewTest::sortingByTypeIgnoresCase()
{
    // "HTML document", "plain text document", "PNG image": in this order only without regard
    // to case. The empty file stays first (ascending) or last (descending).
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); // type names are translated
    for (const char* name : {"pic.png", "notes.txt", "page.html"})
        m_tree->MakeFile(QString::fromLatin1(name), 10);
    m_tree->MakeFile(QStringLiteral("empty.png"), 0);
    TLsFileListView view;
    view.SetDirectory(m_tree->Path());
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    ClickHeader(view, TLsFileListView::colType);
    QCOMPARE(Column(view, TLsFileListView::colName), (QStringList{"pic.png", "notes.txt", "page.html", "empty.png"}));
    ClickHeader(view, TLsFileListView::colType);
    QCOMPARE(Column(view, TLsFileListView::colName), (QStringList{"empty.png", "page.html", "notes.txt", "pic.png"}));
}

void TLsFileListViewTest::directorySetTwiceIsANoOp()
{
    m_tree->MakeFile(QStringLiteral("first"));
    TLsFileListView view;
    view.SetDirectory(m_tree->Path() + QLatin1Char('/'));
    QCOMPARE(view.Directory(), m_tree->Path()); // the system's form: no trailing "/"
    QCOMPARE(QDir::currentPath(), m_tree->Path());
    QCOMPARE(SortedCaptions(view), QStringList{"first"});

    m_tree->MakeFile(QStringLiteral("second"));
    QDir::setCurrent(QDir::rootPath());
    view.SetDirectory(m_tree->Path()); // the same text: nothing happens
    QCOMPARE(SortedCaptions(view), QStringList{"first"});
    QCOMPARE(QDir::currentPath(), QDir::rootPath());

    view.SetDirectory(m_tree->Path() + QLatin1Char('/')); // as the tree hands it over: read again
    QCOMPARE(SortedCaptions(view), (QStringList{"first", "second"}));
    QCOMPARE(QDir::currentPath(), m_tree->Path());
}

void TLsFileListViewTest::directoryThatCannotBeEntered()
{
    m_tree->MakeFile(QStringLiteral("kept"));
    TLsFileListView view;
    view.SetDirectory(m_tree->Path());
    QDir::setCurrent(QDir::rootPath());
    QVERIFY_THROWS_EXCEPTION(AppError, view.SetDirectory(m_tree->Path(QStringLiteral("missing"))));
    QCOMPARE(view.Directory(), m_tree->Path());
    QCOMPARE(SortedCaptions(view), QStringList{"kept"});
    QCOMPARE(QDir::currentPath(), QDir::rootPath());
}

void TLsFileListViewTest::mask_data()
{
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("everything") << "*.*" << QStringList{"a.txt", "b.doc", "makefile", "sub"};
    QTest::newRow("by extension, any case") << "*.TXT" << QStringList{"a.txt"};
    QTest::newRow("two patterns") << "*.txt;*.doc" << QStringList{"a.txt", "b.doc"};
    QTest::newRow("overlapping patterns list once") << "a*;*.txt" << QStringList{"a.txt"};
    QTest::newRow("question mark") << "?.*" << QStringList{"a.txt", "b.doc"};
    QTest::newRow("no dot") << "make*" << QStringList{"makefile"};
    QTest::newRow("empty") << "" << QStringList{};
}

void TLsFileListViewTest::mask()
{
    QFETCH(QString, mask);
    QFETCH(QStringList, expected);
    m_tree->MakeFile(QStringLiteral("A.txt"));
    m_tree->MakeFile(QStringLiteral("b.doc"));
    m_tree->MakeFile(QStringLiteral("Makefile"));
    m_tree->MakeDir(QStringLiteral("sub"));
    TLsFileListView view;
    view.SetDirectory(m_tree->Path());
    QCOMPARE(view.Mask(), QStringLiteral("*.*"));
    view.SetMask(mask);
    QCOMPARE(SortedCaptions(view), expected);
}

void TLsFileListViewTest::clickAndDoubleClick()
{
    m_tree->MakeFile(QStringLiteral("Top.txt"));
    m_tree->MakeDir(QStringLiteral("Dir"));
    m_tree->MakeFile(QStringLiteral("Dir/Inside.txt"));
    TLsFileListView view;
    view.SetDirectory(m_tree->Path());
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    const QString clickedBefore = view.SelectedFile();
    QString selectedAtClick;
    connect(&view, &QTreeWidget::itemClicked, this, [&] { selectedAtClick = view.SelectedFile(); });
    QTreeWidgetItem* file = ItemCalled(view, QStringLiteral("top.txt"));
    QVERIFY(file);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, OnName(view, file));
    QVERIFY(clickedBefore.isEmpty());
    QCOMPARE(selectedAtClick, m_tree->Path(QStringLiteral("Top.txt"))); // set before the click event

    // A file does nothing; a folder is entered after the ordinary double-click event.
    DoubleClick(view.viewport(), OnName(view, file));
    QCOMPARE(view.Directory(), m_tree->Path());
    QString directoryAtDoubleClick;
    connect(&view, &QTreeWidget::itemDoubleClicked, this, [&] { directoryAtDoubleClick = view.Directory(); });
    QTreeWidgetItem* folder = ItemCalled(view, QStringLiteral("dir"));
    QVERIFY(folder);
    DoubleClick(view.viewport(), OnName(view, folder));
    QCOMPARE(directoryAtDoubleClick, m_tree->Path());
    QCOMPARE(view.Directory(), m_tree->Path(QStringLiteral("Dir")));
    QCOMPARE(QDir::currentPath(), m_tree->Path(QStringLiteral("Dir")));
    QCOMPARE(SortedCaptions(view), QStringList{"inside.txt"});
}

void TLsFileListViewTest::bigDirectoryListsCompletely()
{
    // More entries than are listed in place: the first ones show at once, the rest arrive
    // from the event loop, each entry once; a column clicked meanwhile sorts all of them.
    constexpr int kFiles = 2500;
    m_tree->MakeDir(QStringLiteral("big"));
    QStringList expected;
    for (int i = 0; i < kFiles; ++i) {
        const QString name = QStringLiteral("f%1.txt").arg(i, 5, 10, QLatin1Char('0'));
        m_tree->MakeFile(QStringLiteral("big/") + name, i % 7);
        expected << name;
    }

    TLsFileListView view;
    QSignalSpy filled(&view, &TLsFileListView::Filled);
    view.SetDirectory(m_tree->Path(QStringLiteral("big")));
    QVERIFY(view.Filling());
    QVERIFY(view.topLevelItemCount() > 0);
    QVERIFY(view.topLevelItemCount() < kFiles);
    view.ColumnClick(TLsFileListView::colName); // descending, empty files last
    QTRY_VERIFY_WITH_TIMEOUT(!view.Filling(), 15000);
    QCOMPARE(filled.count(), 1);
    QCOMPARE(SortedCaptions(view), expected);

    const QStringList sizes = Column(view, TLsFileListView::colSize);
    const qsizetype firstEmpty = sizes.indexOf(QStringLiteral("0"));
    QCOMPARE(sizes.count(QStringLiteral("0")), (kFiles + 6) / 7);
    QCOMPARE(firstEmpty, kFiles - (kFiles + 6) / 7); // all empty files at the end
    QCOMPARE(view.topLevelItem(0)->text(TLsFileListView::colName), QStringLiteral("f02498.txt")); // f02499 is empty
}

QTEST_MAIN(TLsFileListViewTest)
#include "tst_tlsfilelistview.moc"
