#include "downloads/DownloadNames.h"

#include "widgets/Identity.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {

// Control characters could end or hide the name in a terminal or a dialog;
// bidirectional format characters make "fdp.exe" read as "exe.pdf". Unpaired
// surrogates have no UTF-8 form.
bool isUnsafe(uint c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f
        || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069) || (c >= 0xd800 && c <= 0xdfff);
}

int utf8Bytes(const QString& text)
{
    return text.toUtf8().size();
}

// Where the extension starts: the last dot suffix of up to 16 characters,
// with a ".tar" in front of it ("archive.tar.gz"); the length for none.
int extensionStart(const QString& name)
{
    int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == name.size() - 1 || name.size() - dot > 16)
        return name.size();
    if (dot > 4 && name.midRef(dot - 4, 4).compare(QLatin1String(".tar"), Qt::CaseInsensitive) == 0)
        dot -= 4;
    return dot;
}

// stem + tail + extension in at most MaxNameBytes, dropping whole characters
// from the end of the stem.
QString fit(QString stem, const QString& tail, const QString& extension)
{
    const int room = DownloadNames::MaxNameBytes - utf8Bytes(tail) - utf8Bytes(extension);
    while (!stem.isEmpty() && utf8Bytes(stem) > room)
        stem.chop(stem.size() > 1 && stem.at(stem.size() - 1).isLowSurrogate() ? 2 : 1);
    return stem + tail + extension;
}

} // namespace

QString DownloadNames::clean(const QString& suggested)
{
    const int slash = qMax(suggested.lastIndexOf(QLatin1Char('/')), suggested.lastIndexOf(QLatin1Char('\\')));
    QString name;
    for (uint c : suggested.mid(slash + 1).toUcs4()) {
        if (isUnsafe(c))
            name += QLatin1Char('_');
        else
            name += QString::fromUcs4(&c, 1);
    }
    name = name.trimmed();
    if (name.count(QLatin1Char('.')) == name.size()) // empty, ".", "..", ...
        return QStringLiteral("download");
    if (name.startsWith(QLatin1Char('.')))
        name[0] = QLatin1Char('_');
    const int extension = extensionStart(name);
    return fit(name.left(extension), QString(), name.mid(extension));
}

QString DownloadNames::reserve(const QString& directory, const QString& suggested)
{
    const QDir dir(directory);
    const QString name = clean(suggested);
    const int extension = extensionStart(name);
    for (int n = 0; n < 10000; ++n) {
        const QString candidate
            = n == 0 ? name : fit(name.left(extension), QStringLiteral(" (%1)").arg(n), name.mid(extension));
        const QString path = QDir::cleanPath(dir.absoluteFilePath(candidate));
        // A dangling link is an entry of the folder too. A partial file left
        // by an earlier run would make the engine pick a longer name of its own.
        const auto taken = [](const QFileInfo& file) { return file.exists() || file.isSymLink(); };
        if (m_held.contains(path) || taken(QFileInfo(path))
            || taken(QFileInfo(path + QLatin1String(EngineSuffix))))
            continue;
        m_held.insert(path);
        return path;
    }
    return QString();
}

void DownloadNames::release(const QString& path)
{
    m_held.remove(path);
}

DownloadNames& DownloadNames::shared()
{
    static DownloadNames names;
    return names;
}

QString DownloadNames::standardFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
}

QString DownloadNames::folder()
{
    QSettings settings(QLatin1String(Identity::OrganisationDomain), QLatin1String(Identity::ApplicationName));
    const QString chosen = settings.value(QStringLiteral("downloadmanager/downloadDirectory")).toString();
    // A removed drive or folder must not fail every later download.
    const QFileInfo info(chosen);
    if (!chosen.isEmpty() && info.isAbsolute() && info.isDir() && info.isWritable())
        return QDir::cleanPath(info.absoluteFilePath());
    return standardFolder();
}
