#include "cli/sourcefiles.h"

#include "cli/sourcewalk.h"

SourceFiles CheckSourceFiles(const QStringList& files)
{
    SourceWalk walk(files);
    return walk.Check();
}
