#pragma once
#include <QList>
#include <QPointer>
#include <QUrl>
#include <QWebEngineCertificateError>
#include <QWebEnginePage>
#include <optional>

class QMessageBox;

// What a page may only have with the consent of the person using the client:
// a device or feature for an origin that is not trusted, and a load that goes
// on despite a certificate error. One question per page shows at a time,
// window-modal and answered through a signal (no nested event loop); every
// request is answered, and anything but an explicit yes is a no. Answers hold
// for the rest of the session: per origin and feature, and "continue" per host
// and certificate error.
class PageQuestions : public QObject {
    Q_OBJECT
public:
    // The page's questions, made on first use as a child of the page.
    static PageQuestions* of(QWebEnginePage* page);
    // Ends the page's questions while the page is whole (from its destructor):
    // certificate errors still waiting are rejected.
    static void discard(QWebEnginePage* page);
    ~PageQuestions() override;

    // Answers now when the origin is trusted or the answer is known, else asks.
    void askPermission(const QUrl& origin, QWebEnginePage::Feature feature);
    // The engine withdrew the request: its question goes unanswered.
    void cancelPermission(const QUrl& origin, QWebEnginePage::Feature feature);
    // The value for certificateError(): true to go on at once, false to
    // reject at once; a question defers the error and answers it later.
    bool certificateError(const QWebEngineCertificateError& error);

    static QString permissionText(QWebEnginePage::Feature feature, const QString& host);

private:
    struct Question {
        QString key; // what the answer is remembered under
        QUrl origin;
        QWebEnginePage::Feature feature = QWebEnginePage::Notifications;
        std::optional<QWebEngineCertificateError> error;
    };

    explicit PageQuestions(QWebEnginePage* page);
    void showNext();
    void answer(const Question& question, bool yes);
    void answerAll(const QString& key, bool yes);
    void originChanged(const QUrl& url);
    void dismissIfGone();

    QWebEnginePage* m_page;
    QList<Question> m_waiting; // the first is on screen while m_box is
    QPointer<QMessageBox> m_box;
    QString m_shownKey;
};
