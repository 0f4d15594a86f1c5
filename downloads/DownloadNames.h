#pragma once
#include <QSet>
#include <QString>

// Where a download is written. The name a page suggests (a header, a link's
// download attribute) is hostile: it is cut down to a harmless single file
// name, and the file gets a name no other file in the folder and no other
// running download has, held until that download ends.
class DownloadNames {
public:
    // The engine writes NAME.download while the data arrives and renames it
    // at the end, so that name too must fit the usual 255-byte limit.
    static constexpr char EngineSuffix[] = ".download";
    static constexpr int MaxNameBytes = 255 - int(sizeof EngineSuffix - 1); // in UTF-8

    // The last path component with separators, control and bidirectional
    // format characters replaced by "_", no leading dot, at most MaxNameBytes
    // shortened before the extension; "download" when nothing is left.
    static QString clean(const QString& suggested);

    // The clean name in directory, or "name (n).ext" with the first n that no
    // file there (nor the engine's partial file of it) and no held name has;
    // held until release. The absolute path, empty when no name is free.
    QString reserve(const QString& directory, const QString& suggested);
    void release(const QString& path);

    // The names held by the process's downloads.
    static DownloadNames& shared();

    // The folder downloads are written to: the one chosen in the settings
    // ("downloadmanager"/"downloadDirectory") while it exists and is
    // writable, else the user's standard download folder.
    static QString folder();
    static QString standardFolder();

private:
    QSet<QString> m_held;
};
