// Build-time tool: writes the web channel's client script, as the Qt
// WebChannel library of this build carries it, to the given file.
#include <QCoreApplication>
#include <QFile>
#include <QWebChannel>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: extract-webchannel-script OUT.js\n");
        return 2;
    }
    // A channel object keeps the library, and with it its resources, linked in.
    QWebChannel channel;
    QFile in(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    if (!in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "extract-webchannel-script: the library has no :/qtwebchannel/qwebchannel.js\n");
        return 1;
    }
    const QByteArray script = in.readAll();
    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly) || out.write(script) != script.size()) {
        std::fprintf(stderr, "extract-webchannel-script: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
