#pragma once

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

// A temporary directory tree for the browsing widget tests; removed with the object (after
// making every directory readable again).
class FixtureTree {
public:
    FixtureTree();
    ~FixtureTree();

    bool IsValid() const { return m_dir.isValid(); }
    // Absolute path of relative inside the tree, without a trailing "/"; the tree's root for "".
    QString Path(const QString& relative = QString()) const;
    void MakeDir(const QString& relative) const;
    void MakeFile(const QString& relative, qint64 size = 0) const;
    void MakeFifo(const QString& relative) const;
    void SetModified(const QString& relative, const QDateTime& time) const;
    void SetMode(const QString& relative, unsigned mode) const;

private:
    QTemporaryDir m_dir;
};

// Runs one test function of this executable again as user "nobody" (root may read every
// directory, so unreadable-directory tests must run without privileges). Returns whether the
// run passed; its output goes to *output.
bool RerunUnprivileged(const char* testFunction, QString* output);
bool CanRerunUnprivileged();
