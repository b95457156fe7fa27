#include "settings/ui/formpos.h"

#include "platform/apperror.h"
#include "platform/registry/registry.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QTimer>
#include <QWidget>

TFormPosition::TFormPosition(QWidget* window, Registry& registry)
    : QObject(nullptr), m_window(window), m_registry(registry)
{
    m_window->installEventFilter(this);
}

TFormPosition::~TFormPosition()
{
    // The window is going: what changed since the close is stored now.
    try {
        if (Active && PositionChanged())
            SavePosition();
    } catch (const AppError&) {
        // A store that cannot be written while the program ends loses only the position.
    }
    m_window->removeEventFilter(this);
}

QString TFormPosition::KeyPath() const
{
    return QStringLiteral("Software\\Brindlecraft\\%1\\%2")
        .arg(QCoreApplication::applicationName(), m_window->objectName());
}

QString TFormPosition::iniFilePath() const
{
    if (!IniFileName.isEmpty())
        return IniFileName;
    const QFileInfo program(QCoreApplication::applicationFilePath());
    return program.absolutePath() + QLatin1Char('/') + program.completeBaseName() + QStringLiteral(".ini");
}

QSize TFormPosition::screenSize() const
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().size() : QSize(1024, 768);
}

bool TFormPosition::PositionChanged() const
{
    return m_left != m_window->x() || m_top != m_window->y() || m_width != m_window->width()
           || m_height != m_window->height();
}

void TFormPosition::remember()
{
    m_left = m_window->x();
    m_top = m_window->y();
    m_width = m_window->width();
    m_height = m_window->height();
}

void TFormPosition::RestorePosition()
{
    if (!Active)
        return;
    if (OnRestore)
        OnRestore(this);
    int left = 0, top = 0, width = 0, height = 0;
    QString state;
    if (Depot == dpRegistry) {
        const QString key = KeyPath();
        if (m_registry.keyExists(key)) {
            left = m_registry.readNumber(key, QStringLiteral("XPos")).value_or(0);
            top = m_registry.readNumber(key, QStringLiteral("YPos")).value_or(0);
            width = m_registry.readNumber(key, QStringLiteral("XSize")).value_or(0);
            height = m_registry.readNumber(key, QStringLiteral("YSize")).value_or(0);
            state = m_registry.readText(key, QStringLiteral("State")).value_or(QString());
        }
    } else {
        QSettings ini(iniFilePath(), QSettings::IniFormat);
        ini.beginGroup(m_window->objectName());
        left = ini.value(QStringLiteral("XPos"), 0).toInt();
        top = ini.value(QStringLiteral("YPos"), 0).toInt();
        width = ini.value(QStringLiteral("XSize"), 0).toInt();
        height = ini.value(QStringLiteral("YSize"), 0).toInt();
        state = ini.value(QStringLiteral("State"), QStringLiteral("Normal")).toString();
    }
    m_left = left;
    m_top = top;
    m_width = width;
    m_height = height;
    m_state = state;

    if (m_width == 0 && m_height == 0) {
        remember(); // nothing stored yet: the window keeps its designed place
        return;
    }
    const QSize screen = screenSize();
    if (screen.width() <= m_left + 20)
        m_left = screen.width() > m_width ? screen.width() - m_width : 0;
    if (screen.height() <= m_top + 50)
        m_top = screen.height() > m_height ? screen.height() - m_height : 0;
    if (m_width != m_window->width() || m_height != m_window->height())
        m_window->resize(m_width, m_height);
    if (m_left != m_window->x() || m_top != m_window->y())
        m_window->move(m_left, m_top);
    // What a fixed-size window refused to take is what it has.
    m_width = m_window->width();
    m_height = m_window->height();
    if (m_state == QLatin1String("Minimized"))
        m_window->setWindowState(Qt::WindowMinimized);
    else if (m_state == QLatin1String("Maximized"))
        m_window->setWindowState(Qt::WindowMaximized);
    else
        m_window->setWindowState(Qt::WindowNoState);
}

void TFormPosition::SavePosition()
{
    if (OnSave)
        OnSave(this);
    const QString state = m_window->isMaximized()   ? QStringLiteral("Maximized")
                          : m_window->isMinimized() ? QStringLiteral("Minimized")
                                                    : QStringLiteral("Normal");
    const QSize screen = screenSize();
    const int left = m_window->x() > screen.width() ? 0 : m_window->x();
    const int top = m_window->y() > screen.height() ? 0 : m_window->y();
    if (Depot == dpRegistry) {
        const QString key = KeyPath();
        m_registry.writeText(key, QStringLiteral("State"), state);
        m_registry.writeNumber(key, QStringLiteral("XPos"), left);
        m_registry.writeNumber(key, QStringLiteral("YPos"), top);
        m_registry.writeNumber(key, QStringLiteral("XSize"), m_window->width());
        m_registry.writeNumber(key, QStringLiteral("YSize"), m_window->height());
    } else {
        QSettings ini(iniFilePath(), QSettings::IniFormat);
        ini.beginGroup(m_window->objectName());
        ini.setValue(QStringLiteral("State"), state);
        ini.setValue(QStringLiteral("XPos"), left);
        ini.setValue(QStringLiteral("YPos"), top);
        ini.setValue(QStringLiteral("XSize"), m_window->width());
        ini.setValue(QStringLiteral("YSize"), m_window->height());
    }
    remember();
}

// Before the first show, what counts as unchanged at close is what was restored (or, with
// nothing stored, where the window was to open): a window the window system put elsewhere
// is stored where it stands.
void TFormPosition::RestoreBeforeShow()
{
    if (!m_restored)
        restoreOnce();
}

void TFormPosition::restoreOnce()
{
    m_restored = true;
    try {
        RestorePosition();
    } catch (const AppError& error) {
        QMessageBox::critical(nullptr, QStringLiteral("Ferrowarden"), error.message());
    }
}

bool TFormPosition::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_window)
        return false;
    if (event->type() == QEvent::Show && !m_restored) {
        restoreOnce();
        // A window restored only now is placed by its client area, and its frame is
        // settled by the window system afterwards: what counts as unchanged is where the
        // window then stands.
        if (Active)
            QTimer::singleShot(0, this, [this] { remember(); });
    } else if (event->type() == QEvent::Close && !m_inClose) {
        // The window's own close handling first; the position only when it lets the
        // window close.
        m_inClose = true;
        QCoreApplication::sendEvent(m_window, event);
        m_inClose = false;
        if (event->isAccepted() && Active && PositionChanged()) {
            try {
                SavePosition();
            } catch (const AppError& error) {
                QMessageBox::critical(nullptr, QStringLiteral("Ferrowarden"), error.message());
            }
        }
        return true;
    }
    return false;
}
