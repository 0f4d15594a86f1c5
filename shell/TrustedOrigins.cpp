#include "shell/TrustedOrigins.h"

#include "shell/BrowserApplication.h"
#include "widgets/Identity.h"

#include <QSettings>

namespace {
bool isWebScheme(const QString& scheme)
{
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}
} // namespace

TrustedOrigins TrustedOrigins::fromIni(const QString& iniPath)
{
    TrustedOrigins origins;
    origins.m_domain = QString::fromLatin1(Identity::OrganisationDomain);
    QSettings ini(iniPath, QSettings::IniFormat);
    const QUrl start(ini.value(QStringLiteral("/setting/start_url")).toString());
    if (isWebScheme(start.scheme()) && !start.host().isEmpty())
        origins.m_exactHosts << start.host().toLower();
    // QSettings splits an unquoted comma list itself; a quoted one arrives whole.
    const QVariant listed = ini.value(QStringLiteral("/setting/trusted_hosts"));
    const QStringList entries = listed.type() == QVariant::StringList
        ? listed.toStringList()
        : listed.toString().split(QLatin1Char(','));
    for (const QString& entry : entries) {
        // Normalise through QUrl so that "Example.ORG." and IDN forms compare as the engine reports them.
        const QString host = QUrl(QStringLiteral("http://") + entry.trimmed()).host().toLower();
        if (!host.isEmpty() && !origins.m_exactHosts.contains(host))
            origins.m_exactHosts << host;
    }
    return origins;
}

const TrustedOrigins& TrustedOrigins::instance()
{
    static const TrustedOrigins origins = fromIni(BrowserApplication::iniPath());
    return origins;
}

bool TrustedOrigins::isTrusted(const QUrl& url) const
{
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("qrc"))
        return true;
    if (!isWebScheme(scheme))
        return false;
    const QString host = url.host().toLower();
    if (host.isEmpty())
        return false;
    if (host == m_domain || host.endsWith(QLatin1Char('.') + m_domain))
        return true;
    return m_exactHosts.contains(host);
}
