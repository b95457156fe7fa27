#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// What a server does with a received file whose name is taken: overwrite it (the design's
// way), store the new one under a numbered name, or keep the existing one and discard what
// arrived.
enum class ExistingFiles { Overwrite, Rename, Skip };

// "overwrite", "rename" or "skip"; nullopt for anything else.
std::optional<ExistingFiles> ParseExistingFiles(const QString& text);
QString ExistingFilesText(ExistingFiles policy);

// The name a renamed file gets, the way desktop file managers number copies: "a.txt" becomes
// "a (1).txt", "a.tar.gz" becomes "a (1).tar.gz", "a" becomes "a (1)", ".profile" becomes
// ".profile (1)". The stem is cut, on a UTF-8 character boundary, so that the result stays
// within 255 bytes.
QByteArray NumberedName(const QByteArray& name, int number);
