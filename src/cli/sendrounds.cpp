#include "cli/sendrounds.h"

#include "transfer/sendingengine.h"

EntrySource& SendRounds::Entries()
{
    if (m_rest)
        return *m_rest;
    return m_walk;
}

void SendRounds::Ended(const SendingEngine& engine)
{
    m_wireBytes += engine.BytesSent();
    m_alreadyThere += engine.FilesAlreadyThere();
}

std::vector<SourceFiles::Problem> SendRounds::Cut(const SendingEngine& engine)
{
    Ended(engine);
    m_filesDone += engine.FilesStored();
    m_bytesDone += engine.BytesStored();
    m_stored.Add(engine.Stored());
    m_rest = std::make_unique<SourceWalk>(m_files, &m_stored);
    return m_rest->Check().problems;
}
