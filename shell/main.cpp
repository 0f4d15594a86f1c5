#include "shell/BrowserApplication.h"

#include <csignal>

int main(int argc, char** argv)
{
    // Set before anything can open a socket: a client that drops a proxied
    // connection mid-answer must not end the browser.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setAttribute(Qt::AA_UseDesktopOpenGL, true);
    Q_INIT_RESOURCE(images);
    Q_INIT_RESOURCE(htmls);

    BrowserApplication app(argc, argv);
    if (!app.ownsInstanceServer())
        return 0;

    app.newMainWindow();
    return app.exec();
}
