#pragma once
// Helpers shared by the client's Qt tests.
#include "widgets/Identity.h"

#include <QDir>
#include <QSettings>
#include <QtTest>
#include <memory>
#include <tuple>

// One time-out for every wait: a loaded machine is slow, and a broken client fails anyway.
#define WAIT(condition) QTRY_VERIFY_WITH_TIMEOUT(condition, 30000)
#define WAIT_COMPARE(actual, expected) QTRY_COMPARE_WITH_TIMEOUT(actual, expected, 30000)

// A table in one line: columns<int, QString>("n", "text"); row("a", 1, "x"); a C string is a QString.
template <typename... T, typename... Names> void columns(Names... names)
{
    (QTest::addColumn<T>(names), ...);
}
template <typename T> const T& cell(const T& value)
{
    return value;
}
inline QString cell(const char* value)
{
    return QString::fromUtf8(value);
}
template <typename... T> void row(const char* name, const T&... values)
{
    (QTest::newRow(name) << ... << cell(values));
}
// The current row's cells: const auto [n, text] = fetch<int, QString>("n", "text").
template <typename... T, typename... Names> std::tuple<T...> fetch(Names... names)
{
    return { *static_cast<T*>(QTest::qData(names, qMetaTypeId<T>()))... };
}

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
