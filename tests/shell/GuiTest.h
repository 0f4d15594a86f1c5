#pragma once
// Helpers shared by the client's Qt tests.
#include "widgets/Identity.h"

#include <QDir>
#include <QSettings>
#include <memory>

// The client's native settings store.
inline std::unique_ptr<QSettings> nativeStore()
{
    return std::make_unique<QSettings>(
        QLatin1String(Identity::OrganisationDomain), QLatin1String(Identity::ApplicationName));
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// Creates the folders on the way.
inline void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    (void)(file.open(QIODevice::WriteOnly) && file.write(content));
}

// A named child that the form must have.
template <typename T> T* child(const QObject* parent, const char* name)
{
    T* found = parent->findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}
