#include "widgets/AutoSaver.h"

#include <QMetaObject>
#include <QTimerEvent>
#include <QtDebug>

AutoSaver::AutoSaver(QObject* owner)
    : QObject(owner)
{
}

AutoSaver::~AutoSaver()
{
    if (m_timer.isActive())
        qWarning() << "AutoSaver: still active when destroyed, changes not saved.";
}

void AutoSaver::setDelaysForTesting(int saveDelayMs, int maxDelayMs)
{
    m_saveDelayMs = saveDelayMs;
    m_maxDelayMs = maxDelayMs;
}

void AutoSaver::changeOccurred()
{
    if (!m_firstChange.isValid())
        m_firstChange.start();
    if (m_firstChange.elapsed() > m_maxDelayMs)
        saveIfPending();
    else
        m_timer.start(m_saveDelayMs, this);
}

void AutoSaver::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == m_timer.timerId())
        saveIfPending();
    else
        QObject::timerEvent(event);
}

void AutoSaver::saveIfPending()
{
    if (!m_timer.isActive())
        return;
    m_timer.stop();
    m_firstChange.invalidate();
    if (!QMetaObject::invokeMethod(parent(), "save", Qt::DirectConnection))
        qWarning() << "AutoSaver: error invoking slot save() on parent";
}
