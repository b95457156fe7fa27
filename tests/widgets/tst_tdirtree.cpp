#include "platform/apperror.h"
#include "widgets/support/fixturetree.h"
#include "widgets/tdirtree.h"
#include "widgets/volumes.h"

#include <QSignalSpy>
#include <QStorageInfo>
#include <QtTest>

#include <unistd.h>

namespace {

QString WithSlash(const QString& path)
{
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

// Names of a node's real children (the placeholder that only makes the expand button
// appear has no text).
QStringList ChildNames(const QTreeWidgetItem* node)
{
    QStringList names;
    for (int i = 0; i < node->childCount(); ++i) {
        if (!node->child(i)->text(0).isEmpty())
            names << node->child(i)->text(0);
    }
    return names;
}

QStringList TopLevelTexts(const TDirTree& tree)
{
    QStringList texts;
    for (int i = 0; i < tree.topLevelItemCount(); ++i)
        texts << tree.topLevelItem(i)->text(0);
    return texts;
}

// The node of path, reached the way the user would: select it and take the current node.
QTreeWidgetItem* Select(TDirTree& tree, const QString& path)
{
    tree.SelectPath(path);
    return WithSlash(path) == tree.SelectedPath() ? tree.currentItem() : nullptr;
}

VolumeInfo Volume(const QString& root, const QString& name, VolumeKind kind = VolumeKind::Fixed, bool ready = true)
{
    VolumeInfo volume;
    volume.rootPath = root;
    volume.name = name;
    volume.device = QStringLiteral("/dev/fake") + QString::number(qHash(root) % 100);
    volume.fileSystemType = QStringLiteral("ext4");
    volume.kind = kind;
    volume.ready = ready;
    return volume;
}

} // namespace

class TDirTreeTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void selectPathNormalises_data();
    void selectPathNormalises();
    void emptyPathRaisesAndNothingSelectedIsQuestionMark();
    void subdirectoriesInLocaleOrderIgnoringCase();
    void directoryIsReadOnlyWhenExpanded();
    void attributeRule_data();
    void attributeRule();
    void trashFoldersAreListedButNothingInside();
    void unreadableDirectoryListsNothing();
    void onChangeOnlyAfterLoadingAndOncePerRebuild();
    void initialDirectory_data();
    void initialDirectory();
    void volumesAppearVanishAndChange();
    void browsableVolumes_data();
    void browsableVolumes();
    void volumeOrder();

private:
    FixtureTree* m_tree = nullptr;
    QString m_savedCwd;
};

void TDirTreeTest::init()
{
    m_savedCwd = QDir::currentPath();
    m_tree = new FixtureTree;
    QVERIFY(m_tree->IsValid());
    for (const char* dir : {"Alpha/Inner", "beta", "Gamma/x", "order", "attr/Plain", "attr/.hid"})
        m_tree->MakeDir(QString::fromLatin1(dir));
    m_tree->MakeFile(QStringLiteral("beta/file.txt"), 3);
    QDir::setCurrent(m_tree->Path());
}

void TDirTreeTest::cleanup()
{
    QDir::setCurrent(m_savedCwd);
    delete m_tree;
    m_tree = nullptr;
}

void TDirTreeTest::selectPathNormalises_data()
{
    QTest::addColumn<QString>("input");    // "%F" stands for the fixture's root
    QTest::addColumn<QString>("expected"); // "%V": the root of the current directory's volume

    QTest::newRow("no trailing separator") << "%F/Alpha"
                                           << "%F/Alpha/";
    QTest::newRow("trailing separator") << "%F/Alpha/"
                                        << "%F/Alpha/";
    QTest::newRow("dot and dot-dot") << "%F/Alpha/./Inner/../Inner"
                                     << "%F/Alpha/Inner/";
    QTest::newRow("dot-dot to the root") << "%F/beta/.."
                                         << "%F/";
    QTest::newRow("relative to the current directory") << "Gamma/x"
                                                       << "%F/Gamma/x/";
    QTest::newRow("case is kept: another name") << "%F/alpha"
                                                << "%V";
    QTest::newRow("missing path") << "%F/nope/deeper"
                                  << "%V";
}

void TDirTreeTest::selectPathNormalises()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    const QString volumeRoot = WithSlash(QStorageInfo(m_tree->Path()).rootPath());
    input.replace(QStringLiteral("%F"), m_tree->Path());
    expected.replace(QStringLiteral("%F"), m_tree->Path()).replace(QStringLiteral("%V"), volumeRoot);

    TDirTree tree;
    tree.ReadDrives();
    tree.SelectPath(input);
    QCOMPARE(tree.SelectedPath(), expected);
    for (QTreeWidgetItem* parent = tree.currentItem()->parent(); parent; parent = parent->parent())
        QVERIFY(parent->isExpanded());
}

void TDirTreeTest::emptyPathRaisesAndNothingSelectedIsQuestionMark()
{
    TDirTree tree;
    QCOMPARE(tree.SelectedPath(), QStringLiteral("?"));
    try {
        tree.SelectPath(QString());
        QFAIL("an empty path was accepted");
    } catch (const AppError& error) {
        QCOMPARE(error.message(), QStringLiteral("Invalid Path Name"));
    }

    tree.SelectPath(m_tree->Path(QStringLiteral("beta")));
    tree.SelectPath(QStringLiteral("?"));
    QCOMPARE(tree.SelectedPath(), WithSlash(m_tree->Path(QStringLiteral("beta"))));
    tree.clearSelection();
    QCOMPARE(tree.SelectedPath(), QStringLiteral("?"));
}

void TDirTreeTest::subdirectoriesInLocaleOrderIgnoringCase()
{
    for (const char* name : {"beta", "Alpha", "gamma", "Delta", "a1", "Zeta", "kappa", "Kappa", "epsilon"})
        m_tree->MakeDir(QStringLiteral("order/") + QString::fromLatin1(name));

    TDirTree tree;
    QTreeWidgetItem* node = Select(tree, m_tree->Path(QStringLiteral("order")));
    QVERIFY(node);
    node->setExpanded(true);
    QCOMPARE(ChildNames(node),
             (QStringList{"a1", "Alpha", "beta", "Delta", "epsilon", "gamma", "Kappa", "kappa", "Zeta"}));
}

void TDirTreeTest::directoryIsReadOnlyWhenExpanded()
{
    TDirTree tree;
    QTreeWidgetItem* root = Select(tree, m_tree->Path());
    QVERIFY(root);
    root->setExpanded(true);
    QCOMPARE(ChildNames(root), (QStringList{"Alpha", "attr", "beta", "Gamma", "order"}));

    QTreeWidgetItem* alpha = root->child(0);
    QTreeWidgetItem* beta = root->child(2);
    QCOMPARE(alpha->childCount(), 1); // the expand button only
    QCOMPARE(ChildNames(alpha), QStringList());
    QCOMPARE(beta->childCount(), 0); // holds a file but no directory

    // Made after the tree was read: shows up because Alpha is read when it is opened.
    m_tree->MakeDir(QStringLiteral("Alpha/Late"));
    alpha->setExpanded(true);
    QCOMPARE(ChildNames(alpha), (QStringList{"Inner", "Late"}));
}

void TDirTreeTest::attributeRule_data()
{
    QTest::addColumn<int>("dirTypes");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("all") << int(TDirTree::dtNormal | TDirTree::dtAll) << QStringList{".hid", "Plain"};
    QTest::newRow("normal drops hidden") << int(TDirTree::dtNormal) << QStringList{"Plain"};
    QTest::newRow("normal and hidden") << int(TDirTree::dtNormal | TDirTree::dtHidden) << QStringList{".hid", "Plain"};
    QTest::newRow("hidden only") << int(TDirTree::dtHidden) << QStringList{".hid"};
}

void TDirTreeTest::attributeRule()
{
    QFETCH(int, dirTypes);
    QFETCH(QStringList, expected);
    // "attr" is a volume of its own here, since without dtNormal no ordinary directory on
    // the way to it would be listed.
    TDirTree tree;
    tree.SetVolumeSource([this] { return QList<VolumeInfo>{Volume(m_tree->Path(QStringLiteral("attr")), "Attr")}; });
    tree.SetDirTypes(TDirTree::TDirTypes(dirTypes));
    tree.ReadDrives();
    QTreeWidgetItem* node = tree.topLevelItem(0);
    node->setExpanded(true);
    QCOMPARE(ChildNames(node), expected);
}

void TDirTreeTest::trashFoldersAreListedButNothingInside()
{
    // The user's trash (under XDG_DATA_HOME) and a ".Trash-<uid>" folder at a volume's root.
    m_tree->MakeDir(QStringLiteral("data/Trash/files/deleted"));
    m_tree->MakeDir(QStringLiteral("data/Trash/info"));
    m_tree->MakeDir(QStringLiteral("vol/.Trash-1000/files"));
    m_tree->MakeDir(QStringLiteral("vol/kept"));
    const QByteArray savedDataHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_tree->Path(QStringLiteral("data"))));
    auto restore = qScopeGuard([&] {
        if (savedDataHome.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", savedDataHome);
    });

    TDirTree tree;
    tree.SetVolumeSource([this] {
        return QList<VolumeInfo>{Volume(QStringLiteral("/"), QStringLiteral("System")),
                                 Volume(m_tree->Path(QStringLiteral("vol")), QStringLiteral("Vol"))};
    });
    for (const QString& parent : {QStringLiteral("data"), QStringLiteral("vol")}) {
        QTreeWidgetItem* node = Select(tree, m_tree->Path(parent));
        QVERIFY2(node, qPrintable(parent));
        node->setExpanded(true);
        QTreeWidgetItem* trash = node->child(0);
        QVERIFY(trash->text(0) == QLatin1String("Trash") || trash->text(0) == QLatin1String(".Trash-1000"));
        QCOMPARE(trash->childCount(), 0);
        // A path inside it cannot be reached: the selection stays where it was.
        tree.SelectPath(m_tree->Path(parent) + QLatin1Char('/') + trash->text(0) + QStringLiteral("/files"));
        QCOMPARE(tree.SelectedPath(), WithSlash(m_tree->Path(parent)));
    }

    tree.SetGoBelowRecycleBin(true);
    QVERIFY(Select(tree, m_tree->Path(QStringLiteral("data/Trash/files/deleted"))));
}

void TDirTreeTest::unreadableDirectoryListsNothing()
{
    if (::geteuid() == 0) {
        if (!CanRerunUnprivileged())
            QSKIP("running as root and setpriv is missing: every directory is readable");
        QString output;
        QVERIFY2(RerunUnprivileged("unreadableDirectoryListsNothing", &output), qPrintable(output));
        return;
    }
    m_tree->MakeDir(QStringLiteral("locked/inside"));
    m_tree->SetMode(QStringLiteral("locked"), 0);

    TDirTree tree;
    QTreeWidgetItem* root = Select(tree, m_tree->Path());
    QVERIFY(root);
    root->setExpanded(true);
    QVERIFY(ChildNames(root).contains(QStringLiteral("locked")));
    QTreeWidgetItem* locked = Select(tree, m_tree->Path(QStringLiteral("locked")));
    QVERIFY(locked);
    QCOMPARE(locked->childCount(), 0);
    locked->setExpanded(true);
    QCOMPARE(locked->childCount(), 0);
}

void TDirTreeTest::onChangeOnlyAfterLoadingAndOncePerRebuild()
{
    TDirTree tree;
    tree.SetInitialDirectory(m_tree->Path(QStringLiteral("Alpha/Inner")));
    QStringList seen; // the selected path at every OnChange
    connect(&tree, &TDirTree::OnChange, this, [&] { seen << tree.SelectedPath(); });
    const QString inner = WithSlash(m_tree->Path(QStringLiteral("Alpha/Inner")));

    tree.ReadDrives();
    QCOMPARE(seen, QStringList{inner});

    // A rebuild deletes every node and selects the path again: one OnChange at its end.
    tree.SetDirTypes(TDirTree::dtNormal);
    QCOMPARE(seen, (QStringList{inner, inner}));
    tree.SetGoBelowRecycleBin(true);
    QCOMPARE(seen, (QStringList{inner, inner, inner}));
}

void TDirTreeTest::initialDirectory_data()
{
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QString>("expected");
    QTest::newRow("existing") << "%F/Gamma"
                              << "%F/Gamma/";
    QTest::newRow("missing: the current directory") << "%F/gone"
                                                    << "%F/";
    QTest::newRow("unset: the current directory") << ""
                                                  << "%F/";
}

void TDirTreeTest::initialDirectory()
{
    QFETCH(QString, initial);
    QFETCH(QString, expected);
    TDirTree tree;
    tree.SetInitialDirectory(initial.replace(QStringLiteral("%F"), m_tree->Path()));
    tree.show(); // ReadOnStart: the tree reads the volumes when it is first shown
    QVERIFY(QTest::qWaitForWindowExposed(&tree));
    QCOMPARE(tree.SelectedPath(), expected.replace(QStringLiteral("%F"), m_tree->Path()));
}

void TDirTreeTest::volumesAppearVanishAndChange()
{
    for (const char* dir : {"volA", "volB/sub", "volC", "stick", "cdrom"})
        m_tree->MakeDir(QString::fromLatin1(dir));
    const QString a = m_tree->Path(QStringLiteral("volA"));
    const QString b = m_tree->Path(QStringLiteral("volB"));
    const QString c = m_tree->Path(QStringLiteral("volC"));
    const QString stick = m_tree->Path(QStringLiteral("stick"));
    QList<VolumeInfo> mounted{Volume(b, QStringLiteral("Bravo")), Volume(a, QString()),
                              Volume(QStringLiteral("/"), QStringLiteral("System")),
                              Volume(stick, QStringLiteral("STICK"), VolumeKind::Removable),
                              Volume(m_tree->Path(QStringLiteral("cdrom")), QString(), VolumeKind::CDRom, false)};

    TDirTree tree;
    tree.SetVolumeSource([&] { return OrderVolumes(mounted); });
    tree.ReadDrives();
    const QString deviceA = mounted[1].device.mid(5);
    const QString cdrom = m_tree->Path(QStringLiteral("cdrom"));
    QCOMPARE(TopLevelTexts(tree), (QStringList{"System (/)", "(" + cdrom + ")", "STICK (" + stick + ")",
                                               deviceA + " (" + a + ")", "Bravo (" + b + ")"}));
    // Removable and unreadable media get the expand button without being read.
    QCOMPARE(tree.topLevelItem(1)->childCount(), 1);
    QCOMPARE(tree.topLevelItem(2)->childCount(), 1);
    QCOMPARE(tree.topLevelItem(3)->childCount(), 0); // fixed and empty

    QVERIFY(Select(tree, b + QStringLiteral("/sub")));
    QSignalSpy changes(&tree, &TDirTree::OnChange);

    // One volume vanishes, another appears: the selection stays.
    mounted.removeAt(1);
    mounted.append(Volume(c, QStringLiteral("Charlie")));
    tree.RescanVolumes();
    QCOMPARE(TopLevelTexts(tree), (QStringList{"System (/)", "(" + cdrom + ")", "STICK (" + stick + ")",
                                               "Bravo (" + b + ")", "Charlie (" + c + ")"}));
    QCOMPARE(tree.SelectedPath(), WithSlash(b + QStringLiteral("/sub")));
    QCOMPARE(changes.count(), 1);

    // Nothing changed: nothing happens.
    tree.RescanVolumes();
    QCOMPARE(changes.count(), 1);

    // The volume holding the selection vanishes: the path is selected again where it is
    // still reachable (here below "/").
    mounted.removeAt(0);
    tree.RescanVolumes();
    QVERIFY(!TopLevelTexts(tree).contains("Bravo (" + b + ")"));
    QCOMPARE(tree.SelectedPath(), WithSlash(b + QStringLiteral("/sub")));
    QCOMPARE(changes.count(), 2);

    // Another medium at the same mount point: the volume's node is renewed.
    mounted.last().name = QStringLiteral("Delta");
    tree.RescanVolumes();
    QVERIFY(TopLevelTexts(tree).contains("Delta (" + c + ")"));
    QCOMPARE(changes.count(), 3);

    // Leaving out a kind of drive removes its volumes.
    tree.SetDriveTypes(tree.DriveTypes() & ~TDirTree::TDriveTypes(TDirTree::drtRemovable));
    QVERIFY(!TopLevelTexts(tree).contains("STICK (" + stick + ")"));
}

void TDirTreeTest::browsableVolumes_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("root");
    QTest::addColumn<bool>("browsable");
    QTest::newRow("root") << "ext4"
                          << "/" << true;
    QTest::newRow("home") << "btrfs"
                          << "/home" << true;
    QTest::newRow("tmp in memory") << "tmpfs"
                                   << "/tmp" << true;
    QTest::newRow("stick under /run/media") << "vfat"
                                            << "/run/media/me/STICK" << true;
    QTest::newRow("network share") << "nfs4"
                                   << "/mnt/share" << true;
    QTest::newRow("proc") << "proc"
                          << "/proc" << false;
    QTest::newRow("cgroup") << "cgroup2"
                            << "/sys/fs/cgroup" << false;
    QTest::newRow("runtime dir") << "tmpfs"
                                 << "/run/user/1000" << false;
    QTest::newRow("run") << "tmpfs"
                         << "/run" << false;
    QTest::newRow("shared memory") << "tmpfs"
                                   << "/dev/shm" << false;
    QTest::newRow("snap image") << "squashfs"
                                << "/snap/core22/1234" << false;
    QTest::newRow("lookalike name") << "ext4"
                                    << "/procedures" << true;
}

void TDirTreeTest::browsableVolumes()
{
    QFETCH(QString, type);
    QFETCH(QString, root);
    QFETCH(bool, browsable);
    QCOMPARE(IsBrowsableVolume(type, root), browsable);
}

void TDirTreeTest::volumeOrder()
{
    VolumeInfo late = Volume(QStringLiteral("/data"), QStringLiteral("second mount"));
    const QList<VolumeInfo> ordered = OrderVolumes(
        {Volume(QStringLiteral("/mnt/b"), QString()), Volume(QStringLiteral("/data"), QStringLiteral("first mount")),
         Volume(QStringLiteral("/"), QString()), late, Volume(QStringLiteral("/boot"), QString())});
    QStringList roots;
    for (const VolumeInfo& volume : ordered)
        roots << volume.rootPath;
    QCOMPARE(roots, (QStringList{"/", "/boot", "/data", "/mnt/b"}));
    QCOMPARE(ordered[2].name, QStringLiteral("second mount")); // the mount on top is the one seen
}

QTEST_MAIN(TDirTreeTest)
#include "tst_tdirtree.moc"
