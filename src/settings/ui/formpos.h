#pragma once

#include <QObject>
#include <QSize>
#include <QString>

#include <functional>

class QWidget;
class Registry;

// Brings a window back where the user left it: restores its position, size and state when
// it is first shown (or before, see RestoreBeforeShow) and stores them when it closes
// (after the window's own close handling, and only when it stands elsewhere than it was
// restored or last stored). It watches the window's events itself. Positions are those of
// the window's frame.
//
// With dpRegistry the values live under "Software\Brindlecraft\<application>\<window's
// object name>": XPos, YPos, XSize, YSize as numbers and State as text ("Normal",
// "Minimized", "Maximized"). With dpIniFile they live in the section of the window's name
// of an INI file.
class TFormPosition final : public QObject {
    Q_OBJECT

public:
    enum TDepot { dpIniFile, dpRegistry };

    // `registry` is used by the dpRegistry depot and must outlive this object.
    TFormPosition(QWidget* window, Registry& registry);
    ~TFormPosition() override;

    bool Active = true;
    TDepot Depot = dpIniFile;
    QString IniFileName; // empty: the program's name with ".ini", beside the program
    std::function<void(TFormPosition*)> OnRestore;
    std::function<void(TFormPosition*)> OnSave;

    // Restores now, before the window is first shown: a position applied then places the
    // window's frame, while one applied to a window already on the screen places its client
    // area (below the title bar). The first show then restores nothing more. A value of the
    // wrong type is reported in a message box.
    void RestoreBeforeShow();

    virtual void SavePosition();
    // Throws AppError naming a value stored with the wrong type, before anything is applied.
    virtual void RestorePosition();
    // True unless the remembered left, top, width and height are the window's own.
    bool PositionChanged() const;

    QString KeyPath() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QString iniFilePath() const;
    QSize screenSize() const;
    void remember();
    void restoreOnce();

    QWidget* m_window;
    Registry& m_registry;
    int m_left = 0;
    int m_top = 0;
    int m_width = 0;
    int m_height = 0;
    QString m_state;
    bool m_inClose = false;
    bool m_restored = false; // restored when first shown
};
