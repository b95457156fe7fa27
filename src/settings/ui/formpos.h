#pragma once

#include <QObject>
#include <QSize>
#include <QString>

#include <functional>

class QWidget;
class Registry;

// Brings a window back where the user left it: restores its position, size and state when
// it is shown and stores them when it closes (after the window's own close handling, and
// only when it was moved or resized since the last restore or store). It watches the
// window's events itself; the window does nothing for it.
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
