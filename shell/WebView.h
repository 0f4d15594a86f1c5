#pragma once
#include <QIcon>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineView>

// The page behind each tab's view. All pages use the default profile.
class WebPage : public QWebEnginePage {
    Q_OBJECT
public:
    WebPage(QWebEngineProfile* profile, QObject* parent);
};

// The view in each tab: remembers the URL it was asked to load (shown while
// the engine has none yet), the load progress and the status text.
class WebView : public QWebEngineView {
    Q_OBJECT
public:
    explicit WebView(QWidget* parent = nullptr);

    void setPage(WebPage* page);
    WebPage* webPage() const { return m_page; }
    void loadUrl(const QUrl& url);
    QUrl url() const;
    QIcon icon() const;
    int progress() const { return m_progress; }
    QString lastStatusBarText() const { return m_statusBarText; }

signals:
    void iconChanged();

private slots:
    void setProgress(int progress) { m_progress = progress; }
    void loadFinished(bool success);
    void setStatusBarText(const QString& string) { m_statusBarText = string; }

private:
    QString m_statusBarText;
    QUrl m_initialUrl;
    int m_progress = 0;
    WebPage* m_page = nullptr;
};
