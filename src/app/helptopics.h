#pragma once

#include <QList>
#include <QString>
#include <QUrl>

// The help's topics, in the order of its contents, each a page shipped as a resource.
struct HelpTopic {
    int context; // the context number that opens it; 0 for none
    QString title;
    QUrl page;
    bool underPrevious; // listed under the last topic that is not
};

const QList<HelpTopic>& HelpTopics();
// The page of a context number; the main window's page for a number without a topic.
QUrl HelpPageForContext(int context);
