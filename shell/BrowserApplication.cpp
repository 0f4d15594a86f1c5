#include "shell/BrowserApplication.h"

#include "downloads/DownloadManager.h"
#include "shell/BrowserMainWindow.h"
#include "shell/ProxyHolder.h"
#include "shell/RepaintBatch.h"
#include "shell/TabWidget.h"
#include "widgets/Identity.h"
#include "widgets/NativeSettings.h"

#include <QDesktopServices>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLocale>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSettings>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QtDebug>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

BrowserApplication::BrowserApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setOrganizationName(QLatin1String(Identity::OrganisationDomain));
    setApplicationName(QLatin1String(Identity::ApplicationName));
    setApplicationVersion(QLatin1String(Identity::ApplicationVersion));

    // main() tried this before the GUI started; once more here for a launch
    // that raced another one past that point, and for programs without that main().
    QString problem;
    const QString socketPath = instanceSocketPath(&problem);
    if (socketPath.isEmpty()) {
        std::fprintf(stderr, "lumaview: not started: %s.\n", qPrintable(problem));
        m_exitStatus = 1;
        return;
    }
    const HandOver handed = handOver(socketPath, urlArgument(arguments()));
    if (handed != HandOver::NoInstance) {
        m_exitStatus = handed == HandOver::Delivered ? 0 : 1;
        return;
    }

    setQuitOnLastWindowClosed(true);
    m_localServer = new QLocalServer(this);
    m_localServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_localServer, SIGNAL(newConnection()), this, SLOT(newLocalSocketConnection()));
    if (!m_localServer->listen(socketPath)
        && m_localServer->serverError() == QAbstractSocket::AddressInUseError) {
        // Nobody answered on it: a file left by an instance that ended.
        QLocalServer::removeServer(socketPath);
        if (!m_localServer->listen(socketPath))
            qWarning("Could not create local socket %s.", qPrintable(socketPath));
    }

    setLanguage(chooseLanguage(QLocale::system().name(),
        QSettings(iniPath(), QSettings::IniFormat).value(QStringLiteral("/setting/language")).toString()));

    // Loading the TLS library takes tens of milliseconds: it is done beside
    // the loop that paints, which only hears the outcome.
    m_sslCheck = QThread::create([this] {
        if (!QSslSocket::supportsSsl())
            QMetaObject::invokeMethod(this, [] {
                QMessageBox::information(nullptr, QLatin1String(Identity::OrganisationDomain),
                    tr("This system does not support OpenSSL. SSL websites will not be available."));
            });
    });
    m_sslCheck->start(QThread::LowPriority);

    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl");

    QTimer::singleShot(0, this, SLOT(postLaunch()));

    startProxyIfEnabled();
}

BrowserApplication::~BrowserApplication()
{
    if (m_sslCheck) {
        m_sslCheck->wait();
        delete m_sslCheck;
    }
    // Pages and download items belong to the engine's default profile, which
    // goes later, with the application object: they must go first. Windows
    // closed in the last moments of exec() left deleteLater events that no
    // loop would run any more.
    for (const QPointer<BrowserMainWindow>& window : m_mainWindows)
        delete window.data();
    sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete m_downloadManager;
    delete m_networkManager;
    // Nothing uses the proxy any more.
    ProxyHolder::instance().stopLocalProxy();
}

BrowserApplication* BrowserApplication::instance()
{
    return static_cast<BrowserApplication*>(QCoreApplication::instance());
}

QString BrowserApplication::instanceServerName()
{
    return QLatin1String(Identity::ApplicationName) + QString::fromLatin1(qVersion()).remove(QLatin1Char('.'))
        + QLatin1String("webengine");
}

namespace {

// A hand-over is one line: the URL (or nothing) from the second launch,
// then the acknowledgement from the running instance.
constexpr qint64 MaxHandOverLine = 64 * 1024;
constexpr int HandOverReadMs = 1000;
constexpr int AcknowledgementWaitMs = 5000;
const QByteArray Acknowledgement = QByteArrayLiteral("ok\n");

// Empty when path is a folder of this user's that no other account can
// enter, else what is wrong with it.
QString privacyProblem(const QString& path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("not a folder");
    if (info.st_uid != ::geteuid())
        return QStringLiteral("owned by another account (uid %1)").arg(info.st_uid);
    if (info.st_mode & (S_IRWXG | S_IRWXO))
        return QStringLiteral("open to other accounts (mode %1)")
            .arg(info.st_mode & 0777, 3, 8, QLatin1Char('0'));
    return QString();
}

} // namespace

QString BrowserApplication::instanceSocketPath(QString* problem)
{
    const QString name = QLatin1Char('/') + instanceServerName();
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        const QString why = privacyProblem(runtime);
        if (why.isEmpty())
            return runtime + name;
        qWarning("XDG_RUNTIME_DIR %s is not usable (%s); the instance socket goes to a private temp folder",
            qPrintable(runtime), qPrintable(why));
    }
    const QString folder = QDir::tempPath() + QStringLiteral("/lumaview-%1").arg(::geteuid());
    // Made private from the start; one that exists already must be ours and closed.
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST) {
        *problem = QStringLiteral("cannot create the instance socket folder %1: %2")
                       .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
        return QString();
    }
    const QString why = privacyProblem(folder);
    if (!why.isEmpty()) {
        *problem = QStringLiteral("the instance socket folder %1 is not private to this user: %2; "
                                  "remove it or make it yours with mode 700")
                       .arg(folder, why);
        return QString();
    }
    return folder + name;
}

namespace {

// Closes the descriptor it holds when it goes.
struct SocketFd {
    explicit SocketFd(int fd)
        : fd(fd)
    {
    }
    ~SocketFd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    SocketFd(const SocketFd&) = delete;
    SocketFd& operator=(const SocketFd&) = delete;
    const int fd;
};

// Waits until fd is ready for events or the deadline passes.
bool waitFor(int fd, short events, const QElapsedTimer& clock, qint64 deadlineMs)
{
    for (;;) {
        const qint64 left = deadlineMs - clock.elapsed();
        if (left <= 0)
            return false;
        pollfd entry { fd, events, 0 };
        const int ready = ::poll(&entry, 1, int(left));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

} // namespace

BrowserApplication::HandOver BrowserApplication::handOver(const QString& socketPath, const QUrl& url)
{
    // Plain sockets: a second launch runs before (or without) any Qt application, so it needs
    // no display and no event loop.
    const QByteArray path = QFile::encodeName(socketPath);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= int(sizeof address.sun_path))
        return HandOver::NoInstance; // no server can listen there either
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const SocketFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (socket.fd < 0) {
        std::fprintf(stderr, "lumaview: no socket for the hand-over: %s.\n", std::strerror(errno));
        return HandOver::Failed;
    }
    QElapsedTimer clock;
    clock.start();
    if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        // Only a missing socket or one nobody listens on may be taken over: a
        // listener that does not accept is a running instance that is stuck.
        if (errno == ENOENT || errno == ECONNREFUSED)
            return HandOver::NoInstance;
        std::fprintf(stderr,
            "lumaview: the running instance did not answer (%s); the URL was not handed over.\n",
            std::strerror(errno));
        return HandOver::Failed;
    }

    // The URL as the engine will load it, not text to be read again: a second parse
    // could take it for another address.
    const QByteArray line = (url.isValid() ? url.toEncoded() : QByteArray()) + '\n';
    qint64 sent = 0;
    while (sent < line.size()) {
        const ssize_t n
            = ::send(socket.fd, line.constData() + sent, size_t(line.size() - sent), MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        else if (!waitFor(socket.fd, POLLOUT, clock, AcknowledgementWaitMs))
            break;
    }
    QByteArray answer;
    while (sent == line.size() && !answer.contains('\n') && answer.size() <= Acknowledgement.size()
        && waitFor(socket.fd, POLLIN, clock, AcknowledgementWaitMs)) {
        char buffer[8];
        const ssize_t n = ::recv(socket.fd, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            break;
        if (n > 0)
            answer.append(buffer, int(n));
    }
    if (answer == Acknowledgement)
        return HandOver::Delivered;
    std::fprintf(stderr,
        "lumaview: the running instance did not acknowledge the URL within %d seconds; it was not handed "
        "over.\n",
        AcknowledgementWaitMs / 1000);
    return HandOver::Failed;
}

QString BrowserApplication::iniPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1String("/lumaview.ini");
}

namespace {

// The engine's context menu asks the application's translators for these texts; Qt ships no
// Chinese for them, so the client's translation file carries them.
[[maybe_unused]] constexpr const char* EngineMenuTexts[] = {
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Back"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Forward"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Reload"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Cut"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Copy"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Paste"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Paste and match style"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Undo"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Redo"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Select all"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Open link in new tab"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Open link in new window"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Copy link address"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Save link"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Copy image"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Copy image address"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Save image"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Copy media address"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Save media"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Show controls"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Loop"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Save page"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "View page source"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Exit full screen"),
    QT_TRANSLATE_NOOP("RenderViewContextMenuQt", "Inspect"),
};

} // namespace

QString BrowserApplication::chooseLanguage(const QString& localeName, const QString& setting)
{
    const QString chosen = setting.trimmed().toLower();
    if (chosen == QLatin1String("zh") || chosen == QLatin1String("en"))
        return chosen;
    return localeName.startsWith(QLatin1String("zh"), Qt::CaseInsensitive) ? QStringLiteral("zh")
                                                                           : QStringLiteral("en");
}

void BrowserApplication::setLanguage(const QString& language)
{
    m_language = language;
    removeTranslator(&m_translator);
    removeTranslator(&m_qtTranslator);
    if (language == QLatin1String("zh")) {
        QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
        // qt_zh_CN brings qtbase_zh_CN and the other modules' files. The client's own file goes
        // in last and is consulted first. A missing file leaves those texts in English.
        if (m_qtTranslator.load(
                QStringLiteral("qt_zh_CN"), QLibraryInfo::location(QLibraryInfo::TranslationsPath)))
            installTranslator(&m_qtTranslator);
        if (m_translator.load(applicationDirPath() + QLatin1String("/lumaview_zh.qm")))
            installTranslator(&m_translator);
    } else {
        // The source texts are English; a locale of another language (or "C") would still
        // give the engine's menus and error pages that language.
        const QLocale system = QLocale::system();
        QLocale::setDefault(system.language() == QLocale::English
                ? system
                : QLocale(QLocale::English, QLocale::UnitedStates));
    }
}

void BrowserApplication::startProxyIfEnabled()
{
    QSettings ini(iniPath(), QSettings::IniFormat);
    ProxyHolder& holder = ProxyHolder::instance();
    holder.enabled = ini.value(QStringLiteral("/setting/use_proxy"), 0).toInt() == 1;
    if (!holder.enabled)
        return;
    // The proxy starts beside the window; only its port is waited for, by
    // what needs it: the start page, the first icon fetch, and the engine's
    // switches when its traffic takes the proxy.
    holder.startLocalProxyInBackground();

    // On request the engine's own traffic takes the proxy too, loopback
    // included (the engine would go direct there). The engine reads its
    // switches once, when the first page or profile is made, which is later.
    if (ini.value(QStringLiteral("/setting/web_proxy"), 0).toInt() == 1) {
        const int port = holder.port();
        if (port <= 0)
            return;
        QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
        flags += " --proxy-server=http://127.0.0.1:" + QByteArray::number(port)
            + " --proxy-bypass-list=<-loopback>";
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
    }
}

QUrl BrowserApplication::urlArgument(const QStringList& arguments)
{
    if (arguments.size() < 2)
        return QUrl();
    const QUrl url = QUrl::fromUserInput(arguments.last());
    return url.isValid() ? url : QUrl();
}

void BrowserApplication::postLaunch()
{
    setWindowIcon(QIcon(QStringLiteral(":defaulticon.png")));
    applyWebEngineSettings();
    if (m_mainWindows.isEmpty())
        return;
    const QUrl url = urlArgument(arguments());
    if (!url.isEmpty())
        currentMainWindow()->loadUrl(url);
    else
        currentMainWindow()->slotHome();
}

void BrowserApplication::applyWebEngineSettings()
{
    const QLocale locale;
    qDebug() << "locale country:" << QLocale::countryToString(locale.country())
             << "language:" << QLocale::languageToString(locale.language())
             << "ui languages:" << locale.uiLanguages();
    QWebEngineSettings* settings = QWebEngineSettings::defaultSettings();
    qDebug() << "default text encoding:" << settings->defaultTextEncoding();
    qDebug() << "fonts: standard" << settings->fontFamily(QWebEngineSettings::StandardFont) << "fixed"
             << settings->fontFamily(QWebEngineSettings::FixedFont) << "serif"
             << settings->fontFamily(QWebEngineSettings::SerifFont) << "sans-serif"
             << settings->fontFamily(QWebEngineSettings::SansSerifFont) << "cursive"
             << settings->fontFamily(QWebEngineSettings::CursiveFont) << "fantasy"
             << settings->fontFamily(QWebEngineSettings::FantasyFont);

    settings->setAttribute(QWebEngineSettings::JavascriptEnabled, true);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, true);
    settings->setAttribute(QWebEngineSettings::FullScreenSupportEnabled, true);

    QWebEngineProfile* profile = QWebEngineProfile::defaultProfile();
    const QString dataLocation = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    profile->setPersistentCookiesPolicy(QWebEngineProfile::AllowPersistentCookies);
    profile->setPersistentStoragePath(dataLocation);

    // The seed is copied once per profile: an existing destination (even an
    // empty one) is left alone.
    const QString seedSource = QCoreApplication::applicationDirPath() + QLatin1String("/2N8VG4TE");
    const QString seedDestination
        = dataLocation + QLatin1String("/Pepper Data/Shockwave Flash/WritableRoot/#SharedObjects/2N8VG4TE");
    if (!QDir(seedDestination).exists() && QDir().mkpath(seedDestination))
        copyDirectoryTree(seedSource, seedDestination, true);
}

bool BrowserApplication::copyDirectoryTree(
    const QString& sourcePath, const QString& destinationPath, bool overwrite)
{
    QDir source(sourcePath);
    if (!source.exists())
        return false;
    QString from = QDir::toNativeSeparators(sourcePath);
    QString to = QDir::toNativeSeparators(destinationPath);
    if (!from.endsWith(QDir::separator()))
        from += QDir::separator();
    if (!to.endsWith(QDir::separator()))
        to += QDir::separator();

    bool ok = true;
    const QFileInfoList entries = source.entryInfoList(
        QDir::Dirs | QDir::Files | QDir::Drives | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo& entry : entries) {
        const QString target = to + entry.fileName();
        if (entry.isFile() || entry.isSymLink()) {
            // Granting write keeps the other permission bits: setting write
            // alone would leave an existing file unreadable.
            if (overwrite && QFileInfo::exists(target))
                QFile::setPermissions(target, QFile::permissions(target) | QFileDevice::WriteOwner);
            QFile::copy(from + entry.fileName(), target);
        } else if (entry.isDir()) {
            QDir().mkpath(target);
            if (!copyDirectoryTree(from + entry.fileName(), target, overwrite))
                ok = false;
        }
    }
    return ok;
}

QByteArray BrowserApplication::credentialKey(const QUrl& url, const QString& realm)
{
    QUrl copy = url;
    copy.setFragment(realm);
    return "auth:" + copy.toEncoded(QUrl::RemovePassword | QUrl::RemovePath | QUrl::RemoveQuery);
}

QByteArray BrowserApplication::proxyCredentialKey(
    const QString& user, const QString& hostText, const QString& realm)
{
    QUrl key;
    key.setScheme(QStringLiteral("proxy-http"));
    key.setUserName(user, QUrl::TolerantMode);
    // The host text is "host:port"; as one host it would make the URL
    // invalid and every proxy share one key, so the port is set apart.
    const int colon = hostText.lastIndexOf(QLatin1Char(':'));
    bool numericPort = false;
    const int port = colon > 0 ? hostText.mid(colon + 1).toInt(&numericPort) : -1;
    if (numericPort && !hostText.startsWith(QLatin1Char('['))) {
        key.setHost(hostText.left(colon), QUrl::TolerantMode);
        key.setPort(port);
    } else {
        key.setHost(hostText, QUrl::TolerantMode);
    }
    key.setFragment(realm);
    return "auth:" + key.toEncoded();
}

void BrowserApplication::authenticationRequired(QNetworkReply* reply, QAuthenticator* authenticator)
{
    if (m_lastAuthenticator.isNull())
        return;
    const QByteArray key = credentialKey(reply->url(), authenticator->realm());
    if (m_lastAuthenticator.option(QStringLiteral("key")).toByteArray() == key)
        *authenticator = m_lastAuthenticator;
}

void BrowserApplication::proxyAuthenticationRequired(
    const QNetworkProxy& proxy, QAuthenticator* authenticator)
{
    if (m_lastProxyAuthenticator.isNull())
        return;
    const QString hostText = QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
    const QByteArray key = proxyCredentialKey(proxy.user(), hostText, authenticator->realm());
    if (m_lastProxyAuthenticator.option(QStringLiteral("key")).toByteArray() == key)
        *authenticator = m_lastProxyAuthenticator;
}

BrowserMainWindow* BrowserApplication::newMainWindow()
{
    auto* window = new BrowserMainWindow();
    m_mainWindows.prepend(window);
    window->show();
    return window;
}

void BrowserApplication::pruneClosedWindows()
{
    for (int i = m_mainWindows.count() - 1; i >= 0; --i) {
        if (m_mainWindows.at(i).isNull())
            m_mainWindows.removeAt(i);
    }
}

BrowserMainWindow* BrowserApplication::currentMainWindow()
{
    pruneClosedWindows();
    if (m_mainWindows.isEmpty())
        newMainWindow();
    return m_mainWindows.first();
}

QList<BrowserMainWindow*> BrowserApplication::allMainWindows()
{
    pruneClosedWindows();
    QList<BrowserMainWindow*> list;
    for (const QPointer<BrowserMainWindow>& window : m_mainWindows)
        list.append(window.data());
    return list;
}

QNetworkAccessManager* BrowserApplication::sharedNetworkManager()
{
    if (!m_networkManager) {
        m_networkManager = new QNetworkAccessManager();
        // A proxy that could not bind has no port: pointing the manager at it
        // would only make every icon fetch fail.
        ProxyHolder& holder = ProxyHolder::instance();
        if (holder.enabled && holder.port() > 0)
            m_networkManager->setProxy(QNetworkProxy(
                QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), static_cast<quint16>(holder.port())));
        else if (holder.enabled)
            qWarning() << "local proxy did not start; the shared network manager goes direct";
        connect(m_networkManager, SIGNAL(authenticationRequired(QNetworkReply*, QAuthenticator*)), this,
            SLOT(authenticationRequired(QNetworkReply*, QAuthenticator*)));
        connect(m_networkManager, SIGNAL(proxyAuthenticationRequired(QNetworkProxy, QAuthenticator*)), this,
            SLOT(proxyAuthenticationRequired(QNetworkProxy, QAuthenticator*)));
    }
    return m_networkManager;
}

DownloadManager* BrowserApplication::sharedDownloadManager()
{
    if (!m_downloadManager)
        m_downloadManager = new DownloadManager();
    return m_downloadManager;
}

QIcon BrowserApplication::fallbackIcon()
{
    if (m_defaultIcon.isNull())
        m_defaultIcon = QIcon(QStringLiteral(":defaulticon.png"));
    return m_defaultIcon;
}

QIcon BrowserApplication::iconFor(const QUrl&)
{
    return fallbackIcon();
}

void BrowserApplication::openUrl(const QUrl& url)
{
    currentMainWindow()->loadUrl(url);
}

void BrowserApplication::newLocalSocketConnection()
{
    // Each launch gets a second to send its line; the window never waits on one.
    while (QLocalSocket* socket = m_localServer->nextPendingConnection()) {
        socket->setReadBufferSize(MaxHandOverLine + 1); // a line and its end
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { serveHandOver(socket); });
        QTimer::singleShot(HandOverReadMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        serveHandOver(socket);
    }
}

void BrowserApplication::serveHandOver(QLocalSocket* socket)
{
    if (!socket->canReadLine()) {
        // A full buffer without a line end is not a URL: drop the sender.
        if (socket->bytesAvailable() > MaxHandOverLine) {
            socket->abort();
            socket->deleteLater();
        }
        return;
    }
    // Only the first line counts, and of it the first word.
    const QByteArray line = socket->readLine(MaxHandOverLine + 2);
    if (!line.endsWith('\n')) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    // What a launch sends is an encoded URL; the word is parsed as one, strictly, and not
    // guessed at as typed text would be.
    const QUrl url = QUrl::fromEncoded(line.simplified().split(' ').value(0), QUrl::StrictMode);
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    // Answer first: a launch that gave up waiting (it said so and failed)
    // has closed its end, and its URL is not opened behind its back.
    socket->write(Acknowledgement);
    const bool delivered = socket->flush() && socket->state() == QLocalSocket::ConnectedState;
    socket->disconnectFromServer();
    socket->deleteLater();
    if (!delivered)
        return;
    if (url.isValid() && !url.isRelative()) {
        QSettings settings;
        const int openLinksIn
            = nativeSettingsValue(settings, QStringLiteral("general"), QStringLiteral("openLinksIn"), 0)
                  .toInt();
        if (openLinksIn == 1)
            newMainWindow();
        else
            currentMainWindow()->tabWidget()->newTab(true);
        // Links handed over one after another show together, not each with a repaint of its own.
        RepaintBatch::of(currentMainWindow())->hold();
        openUrl(url);
    }
    BrowserMainWindow* window = currentMainWindow();
    window->raise();
    window->activateWindow();
}
