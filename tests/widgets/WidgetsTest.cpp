// The small shared widgets: deferred saving and the middle-eliding label.
#include "widgets/AutoSaver.h"
#include "widgets/SqueezeLabel.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {

// The saver looks up save() by name.
class Owner : public QObject {
    Q_OBJECT
public:
    QList<qint64> saves;
    QElapsedTimer clock;
    Owner() { clock.start(); }
public slots:
    void save() { saves.append(clock.elapsed()); }
};

class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

} // namespace

class WidgetsTest : public QObject {
    Q_OBJECT

private slots:
    void autoSaverQuietPeriodAndBurst()
    {
        Owner owner;
        auto* saver = new AutoSaver(&owner);
        saver->setDelaysForTesting(100, 500);
        saver->saveIfPending();
        QCOMPARE(owner.saves.size(), 0); // nothing pending, nothing saved
        // Changes 20 ms apart are never quiet for 100 ms: a save forced at 500 ms, one 100 ms after the last.
        const qint64 start = owner.clock.elapsed();
        qint64 lastChange = start;
        while (owner.clock.elapsed() - start < 800) {
            saver->changeOccurred();
            lastChange = owner.clock.elapsed();
            QTest::qWait(20);
        }
        QCOMPARE(owner.saves.size(), 1);
        QVERIFY2(owner.saves[0] - start >= 500 && owner.saves[0] - start < 700,
            qPrintable(QString::number(owner.saves[0] - start)));
        QTRY_COMPARE_WITH_TIMEOUT(owner.saves.size(), 2, 2000);
        QVERIFY(owner.saves[1] >= lastChange + 90);
        saver->changeOccurred();
        saver->saveIfPending();
        QCOMPARE(owner.saves.size(), 3);
    }

    void squeezeLabelElidesInTheMiddle()
    {
        const QString text = QStringLiteral("first-part-of-a-long-file-name-middle-and-the-last-part.tar.gz");
        for (int width : { 150, 2000 }) {
            SqueezeLabel squeezed;
            squeezed.setText(text);
            squeezed.resize(width, 30);
            QLabel expected;
            expected.resize(width, 30);
            expected.setText(
                expected.fontMetrics().elidedText(text, Qt::ElideMiddle, expected.contentsRect().width()));
            QCOMPARE(squeezed.grab().toImage(), expected.grab().toImage());
            QCOMPARE(squeezed.text(), text);
            QCOMPARE(squeezed.textFormat(), Qt::PlainText); // names that pages choose
            // Shown and settled, it stops painting (no paint that schedules the next).
            squeezed.show();
            QVERIFY(QTest::qWaitForWindowExposed(&squeezed));
            QTest::qWait(100);
            PaintCounter counter;
            squeezed.installEventFilter(&counter);
            QTest::qWait(300);
            QVERIFY2(counter.paints <= 1, qPrintable(QString::number(counter.paints)));
        }
    }
};

QTEST_MAIN(WidgetsTest)
#include "WidgetsTest.moc"
