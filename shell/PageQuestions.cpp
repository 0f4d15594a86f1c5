#include "shell/PageQuestions.h"

#include "shell/BrowserApplication.h"
#include "shell/TrustedOrigins.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QVBoxLayout>
#include <functional>
#include <utility>

namespace {

// Answers given in this session, shared by every page: permission keys hold
// yes or no, certificate keys only "continue".
QHash<QString, bool>& decisions()
{
    static QHash<QString, bool> answers;
    return answers;
}

QString permissionKey(const QUrl& origin, QWebEnginePage::Feature feature)
{
    const QString site
        = origin.adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment)
              .toString();
    return QStringLiteral("permission %1 %2").arg(site).arg(int(feature));
}

QString certificateKey(const QWebEngineCertificateError& error)
{
    return QStringLiteral("certificate %1 %2").arg(error.url().host().toLower()).arg(int(error.error()));
}

// The host as the user would recognise it, with a port that is not the scheme's own.
QString shownHost(const QUrl& url)
{
    return url.port() == -1 ? url.host() : QStringLiteral("%1:%2").arg(url.host()).arg(url.port());
}

// Puts a dialog inside the view, at the top in the middle, over the page: it
// blocks nothing outside the view.
void showInView(QDialog* dialog, QWidget* view)
{
    dialog->setParent(view, Qt::Widget);
    dialog->setAutoFillBackground(true);
    dialog->adjustSize();
    const int width = qMin(dialog->width(), view->width());
    dialog->resize(width, dialog->height());
    dialog->move((view->width() - width) / 2, 0);
    dialog->show();
    dialog->raise();
    dialog->setFocus();
}

// Calls back when the watched widget is hidden, its view's tab left among others.
class HideWatch : public QObject {
public:
    HideWatch(QWidget* widget, std::function<void()> hidden)
        : m_hidden(std::move(hidden))
    {
        widget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Hide)
            m_hidden();
        return false;
    }

private:
    std::function<void()> m_hidden;
};

bool ignoresCertificateErrors()
{
    QSettings ini(BrowserApplication::iniPath(), QSettings::IniFormat);
    return ini.value(QStringLiteral("/setting/ignore_certificate_errors"), 0).toInt() == 1;
}

} // namespace

PageQuestions::PageQuestions(QWebEnginePage* page)
    : QObject(page)
    , m_page(page)
{
    connect(page, &QWebEnginePage::urlChanged, this, &PageQuestions::originChanged);
}

PageQuestions* PageQuestions::of(QWebEnginePage* page)
{
    auto* found = page->findChild<PageQuestions*>(QString(), Qt::FindDirectChildrenOnly);
    return found ? found : new PageQuestions(page);
}

void PageQuestions::discard(QWebEnginePage* page)
{
    delete page->findChild<PageQuestions*>(QString(), Qt::FindDirectChildrenOnly);
}

PageQuestions::~PageQuestions()
{
    delete m_box.data();
    for (Question& question : m_waiting) {
        if (question.error)
            question.error->rejectCertificate();
    }
}

QString PageQuestions::permissionText(QWebEnginePage::Feature feature, const QString& host)
{
    switch (feature) {
    case QWebEnginePage::Notifications: return tr("%1 wants to show notifications.").arg(host);
    case QWebEnginePage::Geolocation: return tr("%1 wants to know your location.").arg(host);
    case QWebEnginePage::MediaAudioCapture: return tr("%1 wants to use your microphone.").arg(host);
    case QWebEnginePage::MediaVideoCapture: return tr("%1 wants to use your camera.").arg(host);
    case QWebEnginePage::MediaAudioVideoCapture:
        return tr("%1 wants to use your camera and microphone.").arg(host);
    case QWebEnginePage::MouseLock: return tr("%1 wants to hide and lock the mouse pointer.").arg(host);
    case QWebEnginePage::DesktopVideoCapture: return tr("%1 wants to record your screen.").arg(host);
    case QWebEnginePage::DesktopAudioVideoCapture:
        return tr("%1 wants to record your screen and its sound.").arg(host);
    }
    return tr("%1 wants to use a feature of this computer.").arg(host);
}

void PageQuestions::askPermission(const QUrl& origin, QWebEnginePage::Feature feature)
{
    Question question;
    question.key = permissionKey(origin, feature);
    question.origin = origin;
    question.feature = feature;
    if (TrustedOrigins::instance().isTrusted(origin)) {
        answer(question, true);
        return;
    }
    const auto known = decisions().constFind(question.key);
    if (known != decisions().constEnd()) {
        answer(question, *known);
        return;
    }
    // A page that keeps asking (each time from a new frame origin) after
    // being refused is not asked again.
    if (m_refusals >= RefusalsBeforeSilence) {
        answer(question, false);
        return;
    }
    m_waiting.append(question);
    showNext();
}

void PageQuestions::cancelPermission(const QUrl& origin, QWebEnginePage::Feature feature)
{
    const QString key = permissionKey(origin, feature);
    for (int i = 0; i < m_waiting.size(); ++i) {
        if (m_waiting.at(i).key == key) {
            m_waiting.removeAt(i);
            break;
        }
    }
    dismissIfGone();
}

bool PageQuestions::certificateError(const QWebEngineCertificateError& error)
{
    if (ignoresCertificateErrors())
        return true;
    if (!error.isOverridable())
        return false;
    Question question;
    question.key = certificateKey(error);
    if (decisions().value(question.key))
        return true;
    // Copies share the engine's request: the one kept here answers it later.
    question.error = error;
    question.error->defer();
    m_waiting.append(question);
    showNext();
    return false;
}

void PageQuestions::originChanged(const QUrl& url)
{
    // A page that moved on no longer asks: its questions go, answered no and
    // not remembered. A script dialog goes with its page.
    const QUrl origin = url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment);
    if (origin != m_origin) {
        m_origin = origin;
        m_dialogsStopped = false;
    }
    if (m_dialog)
        m_dialog->close();
    QList<Question> gone;
    for (int i = 0; i < m_waiting.size();) {
        if (!m_waiting.at(i).error)
            gone << m_waiting.takeAt(i);
        else
            ++i;
    }
    dismissIfGone();
    for (const Question& question : gone)
        answer(question, false);
}

void PageQuestions::dismissIfGone()
{
    if (!m_box)
        return;
    for (const Question& question : m_waiting) {
        if (question.key == m_shownKey)
            return;
    }
    m_box->disconnect(this);
    m_box->close();
    m_box = nullptr;
    showNext();
}

void PageQuestions::showNext()
{
    if (m_box || m_waiting.isEmpty())
        return;
    const Question& question = m_waiting.first();
    QWidget* view = m_page->view();
    if (!view) {
        // Nowhere to ask: no answer, so no.
        const QString key = question.key;
        QTimer::singleShot(0, this, [this, key] { answerAll(key, false); });
        return;
    }
    auto* box = new QMessageBox;
    box->setAttribute(Qt::WA_DeleteOnClose);
    // Page-supplied text (the host) stays text.
    box->setTextFormat(Qt::PlainText);
    QPushButton* yes;
    QPushButton* no;
    if (question.error) {
        box->setObjectName(QStringLiteral("certificateQuestion"));
        box->setIcon(QMessageBox::Warning);
        box->setWindowTitle(tr("Certificate Error"));
        box->setText(tr("The certificate of %1 is not valid. Someone may be posing as this site to read "
                        "what you send to it and to change what it shows you.")
                         .arg(shownHost(question.error->url())));
        box->setInformativeText(question.error->errorDescription());
        yes = box->addButton(tr("Continue Anyway"), QMessageBox::AcceptRole);
        yes->setObjectName(QStringLiteral("continueButton"));
        no = box->addButton(tr("Go Back"), QMessageBox::RejectRole);
        no->setObjectName(QStringLiteral("goBackButton"));
    } else {
        box->setObjectName(QStringLiteral("permissionQuestion"));
        box->setIcon(QMessageBox::Question);
        box->setWindowTitle(tr("Permission Request"));
        box->setText(permissionText(question.feature, shownHost(question.origin)));
        box->setInformativeText(tr("The answer holds for this site until the client exits."));
        yes = box->addButton(tr("Allow"), QMessageBox::AcceptRole);
        yes->setObjectName(QStringLiteral("allowButton"));
        no = box->addButton(tr("Deny"), QMessageBox::RejectRole);
        no->setObjectName(QStringLiteral("denyButton"));
    }
    box->setDefaultButton(no);
    box->setEscapeButton(no);
    m_shownKey = question.key;
    const bool remembersNo = !question.error;
    connect(box, &QMessageBox::finished, this, [this, box, yes, remembersNo] {
        const bool agreed = box->clickedButton() == yes;
        const QString key = m_shownKey;
        m_box = nullptr;
        box->deleteLater();
        if (agreed || remembersNo)
            decisions().insert(key, agreed);
        if (remembersNo)
            m_refusals = agreed ? 0 : m_refusals + 1;
        QList<Question> refused;
        for (int i = 0; m_refusals >= RefusalsBeforeSilence && i < m_waiting.size();) {
            if (!m_waiting.at(i).error)
                refused << m_waiting.takeAt(i);
            else
                ++i;
        }
        for (const Question& question : refused)
            answer(question, false);
        answerAll(key, agreed);
    });
    m_box = box;
    showInView(box, view);
}

void PageQuestions::answerAll(const QString& key, bool yes)
{
    // Taken out first: an answer can bring the page's next request in at once.
    QList<Question> answered;
    for (int i = 0; i < m_waiting.size();) {
        if (m_waiting.at(i).key == key)
            answered << m_waiting.takeAt(i);
        else
            ++i;
    }
    for (const Question& question : answered)
        answer(question, yes);
    showNext();
}

void PageQuestions::answer(const Question& question, bool yes)
{
    if (question.error) {
        QWebEngineCertificateError error = *question.error;
        yes ? error.ignoreCertificateError() : error.rejectCertificate();
        return;
    }
    m_page->setFeaturePermission(question.origin, question.feature,
        yes ? QWebEnginePage::PermissionGrantedByUser : QWebEnginePage::PermissionDeniedByUser);
}

bool PageQuestions::scriptDialog(Dialog kind, const QUrl& origin, const QString& message, QString* value)
{
    const bool leaving = kind == Dialog::Leave;
    QWidget* view = m_page->view();
    // While the dialog waits for the user the engine waits too, for every
    // page: it shows only in the tab the user looks at, and goes (answered
    // no) as soon as the user turns to another tab. A page in a tab out of
    // sight, without a view, or with dialogs stopped, gets its answer at once.
    if (m_dialogsStopped || !view || !view->isVisible() || m_dialog)
        return leaving;

    auto* dialog = new QDialog;
    dialog->setObjectName(QStringLiteral("scriptDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(dialog);
    const QString host = shownHost(origin);
    auto* heading = new QLabel(leaving ? tr("Leave this page?")
            : host.isEmpty()           ? tr("This page says:")
                                       : tr("The page at %1 says:").arg(host),
        dialog);
    heading->setTextFormat(Qt::PlainText);
    layout->addWidget(heading);
    // The page's own text, shown as written; a page could send megabytes.
    constexpr int MessageLimit = 4096;
    auto* text
        = new QLabel(leaving ? tr("Changes you made may not be saved.") : message.left(MessageLimit), dialog);
    text->setObjectName(QStringLiteral("scriptMessage"));
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    text->setMaximumHeight(view->height() / 2);
    layout->addWidget(text);
    QLineEdit* field = nullptr;
    if (kind == Dialog::Prompt) {
        field = new QLineEdit(value ? value->left(MessageLimit) : QString(), dialog);
        field->setObjectName(QStringLiteral("scriptValue"));
        layout->addWidget(field);
    }
    auto* stop = new QCheckBox(tr("Prevent this page from creating more dialogs"), dialog);
    stop->setObjectName(QStringLiteral("stopDialogs"));
    if (!leaving)
        layout->addWidget(stop);
    else
        stop->hide();
    auto* buttons = new QDialogButtonBox(dialog);
    QPushButton* ok = leaving ? buttons->addButton(tr("Leave"), QDialogButtonBox::AcceptRole)
                              : buttons->addButton(QDialogButtonBox::Ok);
    ok->setObjectName(QStringLiteral("okButton"));
    if (kind != Dialog::Alert) {
        QPushButton* cancel = leaving ? buttons->addButton(tr("Stay"), QDialogButtonBox::RejectRole)
                                      : buttons->addButton(QDialogButtonBox::Cancel);
        cancel->setObjectName(QStringLiteral("cancelButton"));
    }
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(buttons);

    // The page stays whole while the engine waits in this call, even when
    // its tab or window closes meanwhile: it leaves its view's ownership for
    // the time being and goes afterwards if the view went.
    QPointer<QObject> owner = m_page->parent();
    const bool owned = owner;
    m_page->setParent(nullptr);
    ++m_scriptDialogs;
    bool accepted = false;
    QEventLoop loop;
    connect(dialog, &QDialog::finished, &loop, [&](int result) {
        accepted = result == QDialog::Accepted;
        if (accepted && field && value)
            *value = field->text();
        m_dialogsStopped = m_dialogsStopped || stop->isChecked();
        loop.quit();
    });
    connect(dialog, &QObject::destroyed, &loop, &QEventLoop::quit);
    m_dialog = dialog;
    showInView(dialog, view);
    HideWatch hidden(dialog, [&loop] { loop.quit(); });
    if (field)
        field->setFocus();
    loop.exec();
    --m_scriptDialogs;
    if (m_dialog)
        m_dialog->deleteLater();
    if (owner)
        m_page->setParent(owner);
    else if (owned)
        m_page->deleteLater();
    return accepted;
}
