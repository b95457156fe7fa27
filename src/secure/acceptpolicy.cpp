#include "secure/acceptpolicy.h"

std::optional<AcceptPolicy> ParseAcceptPolicy(const QString& text)
{
    for (const AcceptPolicy policy : {AcceptPolicy::Open, AcceptPolicy::Paired, AcceptPolicy::Trusted})
        if (text.compare(AcceptPolicyName(policy), Qt::CaseInsensitive) == 0)
            return policy;
    return std::nullopt;
}

QString AcceptPolicyName(AcceptPolicy policy)
{
    switch (policy) {
    case AcceptPolicy::Paired:
        return QStringLiteral("paired");
    case AcceptPolicy::Trusted:
        return QStringLiteral("trusted");
    case AcceptPolicy::Open:
        break;
    }
    return QStringLiteral("open");
}
