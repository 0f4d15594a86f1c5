#include "shell/BrowserApplication.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// The engine's sandbox refuses to run as root and ends the process with a
// line of its own that does not say what to do.
bool sandboxRefusesRoot(int argc, char** argv)
{
    if (::geteuid() != 0 || qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        return false;
    if (qgetenv("QTWEBENGINE_CHROMIUM_FLAGS").contains("--no-sandbox"))
        return false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-sandbox") == 0)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // Set before anything can open a socket: a client that drops a proxied
    // connection mid-answer must not end the browser.
    std::signal(SIGPIPE, SIG_IGN);

    // A second launch only hands its URL over, which needs no display: the GUI (whose
    // platform plugin aborts without one) starts only in the process that stays.
    {
        QString problem;
        const QString socketPath = BrowserApplication::instanceSocketPath(&problem);
        if (socketPath.isEmpty()) {
            std::fprintf(stderr, "lumaview: not started: %s.\n", qPrintable(problem));
            return 1;
        }
        QStringList arguments;
        for (int i = 0; i < argc; ++i)
            arguments << QString::fromLocal8Bit(argv[i]);
        const auto handed
            = BrowserApplication::handOver(socketPath, BrowserApplication::urlArgument(arguments));
        if (handed != BrowserApplication::HandOver::NoInstance)
            return handed == BrowserApplication::HandOver::Delivered ? 0 : 1;
    }

    if (sandboxRefusesRoot(argc, argv)) {
        std::fputs("lumaview: running as root needs QTWEBENGINE_DISABLE_SANDBOX=1 in the environment "
                   "(the web engine's sandbox does not run as root).\n",
            stderr);
        return 1;
    }

    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setAttribute(Qt::AA_UseDesktopOpenGL, true);
    Q_INIT_RESOURCE(images);
    Q_INIT_RESOURCE(htmls);

    BrowserApplication app(argc, argv);
    if (!app.ownsInstanceServer())
        return app.exitStatus();

    app.newMainWindow();
    return app.exec();
}
