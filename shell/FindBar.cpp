#include "shell/FindBar.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QWebEngineFindTextResult>
#include <QWebEnginePage>

FindBar::FindBar(QWidget* parent)
    : QWidget(parent)
    , m_field(new QLineEdit(this))
    , m_matches(new QLabel(this))
{
    setObjectName(QStringLiteral("findBar"));
    m_field->setObjectName(QStringLiteral("findField"));
    m_field->setPlaceholderText(tr("Find in page"));
    m_field->setClearButtonEnabled(true);
    m_field->installEventFilter(this);
    m_matches->setObjectName(QStringLiteral("findMatches"));
    m_matches->setTextFormat(Qt::PlainText);

    auto* previous = new QToolButton(this);
    previous->setArrowType(Qt::UpArrow);
    previous->setToolTip(tr("Previous match (Shift+Enter)"));
    auto* next = new QToolButton(this);
    next->setArrowType(Qt::DownArrow);
    next->setToolTip(tr("Next match (Enter)"));
    auto* done = new QToolButton(this);
    done->setText(QStringLiteral("\u2715"));
    done->setToolTip(tr("Close (Esc)"));
    done->setAutoRaise(true);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->addWidget(m_field, 1);
    layout->addWidget(previous);
    layout->addWidget(next);
    layout->addWidget(m_matches, 1);
    layout->addWidget(done);

    connect(previous, &QToolButton::clicked, this, &FindBar::findPrevious);
    connect(next, &QToolButton::clicked, this, &FindBar::findNext);
    connect(done, &QToolButton::clicked, this, &FindBar::close);
    // Every change searches again from the start, as typing goes.
    connect(m_field, &QLineEdit::textChanged, this, &FindBar::findNext);
    hide();
}

void FindBar::openFor(QWebEnginePage* page)
{
    if (m_page && m_page != page)
        m_page->findText(QString());
    if (m_page != page) {
        if (m_page)
            disconnect(m_page, nullptr, this, nullptr);
        m_page = page;
        if (page)
            connect(page, &QWebEnginePage::findTextFinished, this, &FindBar::showResult);
    }
    show();
    m_field->selectAll();
    m_field->setFocus(Qt::ShortcutFocusReason);
    if (!m_field->text().isEmpty())
        findNext();
}

QString FindBar::matchText() const
{
    return m_matches->text();
}

void FindBar::findNext()
{
    find(false);
}

void FindBar::findPrevious()
{
    find(true);
}

void FindBar::find(bool backward)
{
    if (!m_page)
        return;
    if (m_field->text().isEmpty()) {
        m_page->findText(QString());
        m_matches->clear();
        return;
    }
    m_page->findText(m_field->text(), backward ? QWebEnginePage::FindBackward : QWebEnginePage::FindFlags());
}

void FindBar::showResult(const QWebEngineFindTextResult& result)
{
    if (m_field->text().isEmpty())
        m_matches->clear();
    else if (result.numberOfMatches() == 0)
        m_matches->setText(tr("Not found"));
    else
        m_matches->setText(tr("%1 of %2 matches").arg(result.activeMatch()).arg(result.numberOfMatches()));
}

void FindBar::close()
{
    if (m_page)
        m_page->findText(QString());
    hide();
    if (m_page && m_page->view())
        m_page->view()->setFocus(Qt::OtherFocusReason);
}

bool FindBar::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_field)
        return QWidget::eventFilter(watched, event);
    // Esc is the window's "stop" key while a page loads; in this field it
    // closes the bar, so the field claims it before the window's shortcut.
    if (event->type() == QEvent::ShortcutOverride
        && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        event->accept();
        return true;
    }
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape) {
            close();
            return true;
        }
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            find(key->modifiers() & Qt::ShiftModifier);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
