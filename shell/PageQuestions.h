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
// on despite a certificate error; and the page's script dialogs. Every question
// shows inside the page's own view, so that a page that keeps asking holds
// its own tab and no more: the window's keys and the other tabs stay usable.
// One question per page shows at a time, answered through a signal; every
// request is answered, and anything but an explicit yes is a no. Answers hold
// for the rest of the session: per origin and feature, and "continue" per host
// and certificate error. After a few refusals in a row the page's further
// permission requests are refused without asking, until the user loads a page
// in the tab themselves.
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

    // A navigation the user started (typed, a key): the page gets its questions back.
    void userNavigated() { m_refusals = 0; }

    // A script dialog shown in the view; returns once answered (the engine
    // waits for the answer, so this runs a nested event loop) with what the
    // page gets back. Once the user ticks "prevent more", the page's further
    // dialogs are answered at once: no, except that the page may be left.
    enum class Dialog { Alert, Confirm, Prompt, Leave };
    bool scriptDialog(Dialog kind, const QUrl& origin, const QString& message, QString* value);
    bool inScriptDialog() const { return m_scriptDialogs > 0; }

    static constexpr int RefusalsBeforeSilence = 3;

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
    QUrl m_origin; // of the page's document, for the dialog stop
    int m_refusals = 0; // permission questions refused in a row
    bool m_dialogsStopped = false; // the user asked for no more script dialogs
    int m_scriptDialogs = 0; // nested: one per page runs, another page's may run inside it
    QPointer<QWidget> m_dialog;
};
