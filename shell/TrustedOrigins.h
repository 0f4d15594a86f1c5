#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

// Which pages count as the organisation's own. Those keep what the client
// always gave them (permissions without a question, windows without a click,
// the script bridge); every other page is treated as hostile.
class TrustedOrigins {
public:
    // The organisation's domain (and its subdomains), the host of an http(s)
    // start page, and the comma-separated hosts of trusted_hosts.
    static TrustedOrigins fromIni(const QString& iniPath);

    // The client's own table, read from the INI beside the executable once.
    static const TrustedOrigins& instance();

    // qrc: pages are the client's own; the rest must be http(s) on a trusted host.
    bool isTrusted(const QUrl& url) const;

    const QStringList& exactHosts() const { return m_exactHosts; }

private:
    QString m_domain;
    QStringList m_exactHosts;
};
