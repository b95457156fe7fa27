#include "widgetdemo.h"

#include "platform/apperror.h"
#include "widgets/filelistbox.h"
#include "widgets/tdirtree.h"
#include "widgets/tlsfilelistview.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QSplitter>
#include <QVBoxLayout>
#include <QWidget>

namespace {

// Shows an error that escapes an event handler and carries on, as the program does.
class DemoApplication final : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const AppError& error) {
            QMessageBox::critical(nullptr, QStringLiteral("Ferrowarden"), error.message());
        } catch (const std::exception& error) {
            QMessageBox::critical(nullptr, QStringLiteral("Ferrowarden"), QString::fromLocal8Bit(error.what()));
        }
        return false;
    }
};

QWidget* Titled(const QString& title, QWidget* widget)
{
    auto* box = new QWidget;
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(title));
    layout->addWidget(widget);
    return box;
}

} // namespace

int RunWidgetDemo(int argc, char* argv[])
{
    DemoApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ferrowarden"));

    QWidget window;
    window.setWindowTitle(QStringLiteral("Ferrowarden widget demo"));
    auto* tree = new TDirTree;
    auto* files = new FileListBox;
    auto* view = new TLsFileListView;
    auto* path = new QLabel;

    auto* splitter = new QSplitter;
    splitter->addWidget(Titled(QStringLiteral("Folders"), tree));
    splitter->addWidget(Titled(QStringLiteral("Files"), files));
    splitter->addWidget(Titled(QStringLiteral("Contents"), view));
    splitter->setSizes({300, 220, 560});
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(splitter, 1);
    layout->addWidget(path);

    QObject::connect(tree, &TDirTree::OnChange, &window, [=] {
        const QString selected = tree->SelectedPath();
        path->setText(selected);
        if (selected == QLatin1String("?"))
            return;
        files->SetDirectory(selected);
        view->SetDirectory(selected);
    });

    window.resize(1180, 700);
    window.show();
    return app.exec();
}
