// Build step: compares the texts that lupdate finds in the client's sources
// with the committed Chinese translation file, and fails when a text has no
// finished, non-empty translation there (or the file has unfinished entries).
// Usage: check-translations SCANNED.ts COMMITTED.ts
#include <QFile>
#include <QHash>
#include <QSet>
#include <QXmlStreamReader>

#include <cstdio>

namespace {

struct Message {
    QString context;
    QString source;
    QString comment;
    bool finished = false;
};

QString keyOf(const Message& message)
{
    return message.context + QChar(0) + message.source + QChar(0) + message.comment;
}

QString describe(const Message& message)
{
    QString text = message.context + QLatin1String(": \"") + message.source + QLatin1Char('"');
    if (!message.comment.isEmpty())
        text += QLatin1String(" (") + message.comment + QLatin1Char(')');
    return text;
}

bool readTs(const QString& path, QList<Message>& messages)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "check-translations: cannot open %s\n", qPrintable(path));
        return false;
    }
    QXmlStreamReader xml(&file);
    QString context;
    Message message;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        const QStringRef name = xml.name();
        if (name == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (name == QLatin1String("message")) {
            message = Message();
            message.context = context;
        } else if (name == QLatin1String("source")) {
            message.source = xml.readElementText();
        } else if (name == QLatin1String("comment")) {
            message.comment = xml.readElementText();
        } else if (name == QLatin1String("translation")) {
            // Neither "unfinished" nor "vanished"/"obsolete", and some text
            // (in every plural form when there are several).
            const bool typed = !xml.attributes().value(QLatin1String("type")).isEmpty();
            bool empty = true;
            bool someFormEmpty = false;
            while (!(xml.isEndElement() && xml.name() == QLatin1String("translation")) && !xml.atEnd()) {
                xml.readNext();
                if (xml.isStartElement() && xml.name() == QLatin1String("numerusform")) {
                    const bool formEmpty = xml.readElementText().isEmpty();
                    someFormEmpty |= formEmpty;
                    empty &= formEmpty;
                } else if (xml.isCharacters() && !xml.isWhitespace()) {
                    empty = false;
                }
            }
            message.finished = !typed && !empty && !someFormEmpty;
            messages << message;
        }
    }
    if (xml.hasError()) {
        std::fprintf(stderr, "check-translations: %s: %s\n", qPrintable(path), qPrintable(xml.errorString()));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: check-translations SCANNED.ts COMMITTED.ts\n");
        return 2;
    }
    QList<Message> scanned;
    QList<Message> committed;
    if (!readTs(QString::fromLocal8Bit(argv[1]), scanned)
        || !readTs(QString::fromLocal8Bit(argv[2]), committed))
        return 2;

    QHash<QString, Message> translations;
    QStringList problems;
    for (const Message& message : committed) {
        translations.insert(keyOf(message), message);
        if (!message.finished)
            problems << QLatin1String("unfinished: ") + describe(message);
    }
    QSet<QString> inSources;
    for (const Message& message : scanned) {
        inSources.insert(keyOf(message));
        if (!translations.contains(keyOf(message)))
            problems << QLatin1String("no translation: ") + describe(message);
    }
    for (const Message& message : committed) {
        if (!inSources.contains(keyOf(message)))
            std::fprintf(stderr, "check-translations: warning: no longer in the sources: %s\n",
                qPrintable(describe(message)));
    }
    for (const QString& problem : problems)
        std::fprintf(stderr, "check-translations: %s\n", problem.toUtf8().constData());
    if (!problems.isEmpty()) {
        std::fprintf(stderr,
            "check-translations: %d text(s) lack a Chinese translation in %s; run lupdate on it (see "
            "README) and translate them\n",
            int(problems.size()), argv[2]);
        return 1;
    }
    return 0;
}
