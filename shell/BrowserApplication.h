#pragma once
#include <QApplication>
#include <QAuthenticator>
#include <QIcon>
#include <QList>
#include <QPointer>
#include <QTranslator>
#include <QUrl>

class BrowserMainWindow;
class DownloadManager;
class QLocalServer;
class QLocalSocket;
class QNetworkAccessManager;
class QNetworkProxy;
class QNetworkReply;
class QThread;

// The application object: keeps the client to one running instance (a
// second launch hands its URL over and exits), starts the local proxy when
// the INI file beside the executable asks for it, and owns the process-wide
// objects (main-window list, shared network manager, download list,
// remembered credentials).
class BrowserApplication : public QApplication {
    Q_OBJECT
public:
    BrowserApplication(int& argc, char** argv);
    ~BrowserApplication() override;

    static BrowserApplication* instance();

    bool ownsInstanceServer() const { return m_localServer != nullptr; }
    // Without the instance server: 0 when the running instance acknowledged
    // the hand-over, 1 when it did not or no safe socket could be had.
    int exitStatus() const { return m_exitStatus; }
    BrowserMainWindow* currentMainWindow();
    QList<BrowserMainWindow*> allMainWindows();

    QNetworkAccessManager* sharedNetworkManager();
    DownloadManager* sharedDownloadManager();
    QIcon fallbackIcon();
    QIcon iconFor(const QUrl& url);

    void rememberAuthenticator(const QAuthenticator& authenticator) { m_lastAuthenticator = authenticator; }
    void rememberProxyAuthenticator(const QAuthenticator& authenticator)
    {
        m_lastProxyAuthenticator = authenticator;
    }

    // Invokable: the settings dialog calls it by name after saving.
    Q_INVOKABLE void applyWebEngineSettings();

    // The last argument as a URL (read as typed) when it forms a valid one, else empty.
    static QUrl urlArgument(const QStringList& arguments);

    enum class HandOver {
        NoInstance, // nobody listens: this process may become the running instance
        Delivered, // the running instance acknowledged the URL
        Failed, // an instance is there but did not take it (said on stderr)
    };
    // Sends url (empty: only raise the window) to the instance listening at socketPath. Needs
    // no Qt application object, so a launch can do it before the GUI starts.
    static HandOver handOver(const QString& socketPath, const QUrl& url);

    // "client", the running Qt version without dots, and "webengine".
    static QString instanceServerName();
    // The instance socket's full path in a folder no other account can
    // enter: $XDG_RUNTIME_DIR, else a folder of this user's own in the temp
    // folder. Empty, with the reason in problem, when there is none.
    static QString instanceSocketPath(QString* problem);
    // The INI file beside the executable that holds the proxy switch and the start URL.
    static QString iniPath();

    // The interface language, "zh" or "en": the INI's /setting/language when it names one of
    // them, else Chinese for a Chinese locale name (zh, zh_CN, zh_TW...) and English otherwise.
    static QString chooseLanguage(const QString& localeName, const QString& setting);
    QString language() const { return m_language; }
    // Installs Qt's and the client's translations for the language (none for English) and makes
    // its locale the default one, which the engine takes for its menus and error pages when it
    // starts, and the pages for navigator.language.
    void setLanguage(const QString& language);

    static bool copyDirectoryTree(const QString& sourcePath, const QString& destinationPath, bool overwrite);
    static QByteArray credentialKey(const QUrl& url, const QString& realm);
    static QByteArray proxyCredentialKey(const QString& user, const QString& hostText, const QString& realm);

public slots:
    BrowserMainWindow* newMainWindow();
    void authenticationRequired(QNetworkReply* reply, QAuthenticator* authenticator);
    void proxyAuthenticationRequired(const QNetworkProxy& proxy, QAuthenticator* authenticator);

private slots:
    void postLaunch();
    void openUrl(const QUrl& url);
    void newLocalSocketConnection();

private:
    void pruneClosedWindows();
    void startProxyIfEnabled();
    void serveHandOver(QLocalSocket* socket);

    QList<QPointer<BrowserMainWindow>> m_mainWindows;
    QLocalServer* m_localServer = nullptr;
    int m_exitStatus = 0;
    QIcon m_defaultIcon;
    QAuthenticator m_lastAuthenticator;
    QAuthenticator m_lastProxyAuthenticator;
    QNetworkAccessManager* m_networkManager = nullptr;
    QThread* m_sslCheck = nullptr;
    DownloadManager* m_downloadManager = nullptr;
    QTranslator m_qtTranslator;
    QTranslator m_translator;
    QString m_language;
};
