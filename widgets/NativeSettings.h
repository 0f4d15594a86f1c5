#pragma once
#include <QSettings>
#include <QString>
#include <QVariant>

// Reads one key of the native settings store. On this platform the store is
// an INI file, where Qt writes a group named "general" as "[%General]" and
// reads it back as "General": a value stored by one run would be lost to the
// next. Both spellings are looked up, the written one first.
inline QVariant nativeSettingsValue(
    QSettings& settings, const QString& group, const QString& key, const QVariant& defaultValue = QVariant())
{
    const QString path = group + QLatin1Char('/') + key;
    if (settings.contains(path))
        return settings.value(path);
    if (group.compare(QLatin1String("general"), Qt::CaseInsensitive) == 0) {
        const QString other = QStringLiteral("General/") + key;
        if (settings.contains(other))
            return settings.value(other);
    }
    return defaultValue;
}
