#pragma once
#include <QBasicTimer>
#include <QElapsedTimer>
#include <QObject>

// Collapses bursts of changes into one deferred call of the owner's slot
// "save": 3 s after the last change, but no later than about 15 s after the
// first change of a burst. The owner is the parent and must offer that slot.
class AutoSaver : public QObject {
    Q_OBJECT
public:
    explicit AutoSaver(QObject* owner);
    ~AutoSaver() override;

    // Saves now when a save is pending; owners call it from their destructor.
    void saveIfPending();
    bool isPending() const { return m_timer.isActive(); }

    // Test hook: shorter delays keep timing tests fast.
    void setDelaysForTesting(int saveDelayMs, int maxDelayMs);

public slots:
    void changeOccurred();

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    QBasicTimer m_timer;
    QElapsedTimer m_firstChange; // invalid while no change is pending
    int m_saveDelayMs = 3000;
    int m_maxDelayMs = 15000;
};
