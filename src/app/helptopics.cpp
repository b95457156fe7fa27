#include "app/helptopics.h"

namespace {

QUrl page(const char* name)
{
    return QUrl(QStringLiteral("qrc:/help/") + QLatin1String(name));
}

} // namespace

const QList<HelpTopic>& HelpTopics()
{
    static const QList<HelpTopic> topics = {
        {10, QStringLiteral("The main window"), page("main-window.md"), false},
        {100, QStringLiteral("The connection wizard"), page("wizard-role.md"), false},
        {111, QStringLiteral("Server: session name"), page("wizard-session-name.md"), true},
        {112, QStringLiteral("Server: target directory"), page("wizard-target-folder.md"), true},
        {113, QStringLiteral("Server: ready"), page("wizard-server-ready.md"), true},
        {115, QStringLiteral("Client: choose a server"), page("wizard-find-session.md"), true},
        {116, QStringLiteral("Client: select files"), page("wizard-select-files.md"), true},
        {117, QStringLiteral("Client: ready"), page("wizard-client-ready.md"), true},
        {200, QStringLiteral("Preferences"), page("preferences.md"), false},
        {0, QStringLiteral("When no session is found"), page("no-session-found.md"), false},
        {0, QStringLiteral("The log file"), page("log-file.md"), false},
    };
    return topics;
}

QUrl HelpPageForContext(int context)
{
    for (const HelpTopic& topic : HelpTopics()) {
        if (topic.context == context && context != 0)
            return topic.page;
    }
    return HelpTopics().first().page;
}
