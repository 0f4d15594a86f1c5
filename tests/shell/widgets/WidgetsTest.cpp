// The small shared widgets: deferred saving, the middle-eliding label and the
// table view whose delete keys remove rows.
#include "shell/widgets/AutoSaver.h"
#include "shell/widgets/EditTableView.h"
#include "shell/widgets/FullScreenNotification.h"
#include "shell/widgets/SqueezeLabel.h"

#include <QElapsedTimer>
#include <QStandardItemModel>
#include <QtTest>

namespace {

// Records when its AutoSaver called it.
class Owner : public QObject {
    Q_OBJECT
public:
    QList<qint64> saves;
    QElapsedTimer clock;
    Owner() { clock.start(); }
public slots:
    void save() { saves.append(clock.elapsed()); }
};

class NoSaveSlot : public QObject {
    Q_OBJECT
};

} // namespace

class WidgetsTest : public QObject {
    Q_OBJECT
private slots:
    void autoSaverSavesOnceAfterQuietPeriod();
    void autoSaverBurstSavesAtMaximumThenAfterLastChange();
    void autoSaverSaveIfPendingAndMissingSlot();
    void autoSaverDefaultsDeferThreeSeconds();
    void squeezeLabelElidesInTheMiddle();
    void editTableViewRemovesRows_data();
    void editTableViewRemovesRows();
    void fullScreenNotificationShowsAndFades();
};

// Short delays stand in for the real 3 s and 15 s where the rule, not the
// figure, is tested.
void WidgetsTest::autoSaverSavesOnceAfterQuietPeriod()
{
    Owner owner;
    auto* saver = new AutoSaver(&owner);
    saver->setDelaysForTesting(30, 150);
    saver->changeOccurred();
    QVERIFY(saver->isPending());
    QTRY_COMPARE_WITH_TIMEOUT(owner.saves.size(), 1, 2000);
    QVERIFY(owner.saves[0] >= 28);
    QVERIFY(!saver->isPending());
    QTest::qWait(100);
    QCOMPARE(owner.saves.size(), 1);
}

void WidgetsTest::autoSaverBurstSavesAtMaximumThenAfterLastChange()
{
    Owner owner;
    auto* saver = new AutoSaver(&owner);
    saver->setDelaysForTesting(100, 500);
    // A change every 20 ms for 800 ms: never quiet for 100 ms.
    QElapsedTimer burst;
    burst.start();
    qint64 lastChange = 0;
    while (burst.elapsed() < 800) {
        saver->changeOccurred();
        lastChange = owner.clock.elapsed();
        QTest::qWait(20);
    }
    QCOMPARE(owner.saves.size(), 1);
    // The forced save came with the first change after the burst grew older
    // than the maximum.
    QVERIFY2(owner.saves[0] >= 500 && owner.saves[0] < 700, qPrintable(QString::number(owner.saves[0])));
    QTRY_COMPARE_WITH_TIMEOUT(owner.saves.size(), 2, 2000);
    QVERIFY(owner.saves[1] >= lastChange + 95);
}

void WidgetsTest::autoSaverSaveIfPendingAndMissingSlot()
{
    Owner owner;
    auto* saver = new AutoSaver(&owner);
    saver->saveIfPending();
    QCOMPARE(owner.saves.size(), 0); // nothing pending, nothing saved
    saver->changeOccurred();
    saver->saveIfPending();
    QCOMPARE(owner.saves.size(), 1);

    NoSaveSlot other;
    auto* orphan = new AutoSaver(&other);
    orphan->changeOccurred();
    QTest::ignoreMessage(QtWarningMsg, "AutoSaver: error invoking slot save() on parent");
    orphan->saveIfPending();

    orphan->changeOccurred();
    QTest::ignoreMessage(QtWarningMsg, "AutoSaver: still active when destroyed, changes not saved.");
    delete orphan;
}

void WidgetsTest::autoSaverDefaultsDeferThreeSeconds()
{
    Owner owner;
    auto* saver = new AutoSaver(&owner);
    saver->changeOccurred();
    QTest::qWait(2500);
    QCOMPARE(owner.saves.size(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(owner.saves.size(), 1, 2000);
    QVERIFY(owner.saves[0] >= 2850); // coarse timers may fire 5% early
}

void WidgetsTest::squeezeLabelElidesInTheMiddle()
{
    const QString text = QStringLiteral("first-part-of-a-long-file-name-middle-and-the-last-part.tar.gz");
    SqueezeLabel squeezed;
    squeezed.setText(text);
    squeezed.resize(150, 30);
    QLabel expected;
    expected.resize(150, 30);
    expected.setText(
        expected.fontMetrics().elidedText(text, Qt::ElideMiddle, expected.contentsRect().width()));
    QVERIFY(expected.text().contains(QChar(0x2026)));
    QVERIFY(expected.text().startsWith(QStringLiteral("first")));

    QCOMPARE(squeezed.grab().toImage(), expected.grab().toImage());
    QCOMPARE(squeezed.text(), text); // the property keeps the full text

    // Wide enough: painted like a plain label.
    squeezed.resize(2000, 30);
    QLabel plain;
    plain.setText(text);
    plain.resize(2000, 30);
    QCOMPARE(squeezed.grab().toImage(), plain.grab().toImage());
}

void WidgetsTest::editTableViewRemovesRows_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("key");
    QTest::addColumn<QStringList>("left");
    QTest::addColumn<int>("selectedRow");

    QTest::newRow("delete middle selects the same row")
        << 3 << 1 << int(Qt::Key_Delete) << QStringList { "r0", "r2" } << 1;
    QTest::newRow("backspace on last selects the new last")
        << 3 << 2 << int(Qt::Key_Backspace) << QStringList { "r0", "r1" } << 1;
    QTest::newRow("only row") << 1 << 0 << int(Qt::Key_Delete) << QStringList {} << -1;
    QTest::newRow("other key removes nothing") << 2 << 0 << int(Qt::Key_A) << QStringList { "r0", "r1" } << 0;
}

void WidgetsTest::editTableViewRemovesRows()
{
    QFETCH(int, rows);
    QFETCH(int, current);
    QFETCH(int, key);
    QFETCH(QStringList, left);
    QFETCH(int, selectedRow);

    QStandardItemModel model;
    for (int i = 0; i < rows; ++i)
        model.appendRow(new QStandardItem(QStringLiteral("r%1").arg(i)));
    EditTableView view;
    view.setModel(&model);
    view.setCurrentIndex(model.index(current, 0));
    QTest::keyClick(&view, Qt::Key(key));

    QStringList remaining;
    for (int i = 0; i < model.rowCount(); ++i)
        remaining << model.item(i)->text();
    QCOMPARE(remaining, left);
    QCOMPARE(view.currentIndex().row(), selectedRow);
    if (selectedRow >= 0)
        QVERIFY(view.selectionModel()->isRowSelected(selectedRow, QModelIndex()));

    view.removeAll();
    QCOMPARE(model.rowCount(), 0);
}

void WidgetsTest::fullScreenNotificationShowsAndFades()
{
    QWidget view;
    view.resize(1000, 600);
    view.show();
    auto* notice = new FullScreenNotification(&view);
    QCOMPARE(notice->geometry(), QRect(300, 80, 400, 80));
    QVERIFY(!notice->isVisible());
    notice->show();
    QVERIFY(!notice->isVisible()); // waits for the view to settle
    QTRY_VERIFY_WITH_TIMEOUT(notice->isVisible(), 2000);
    QCOMPARE(notice->pos(), view.mapToGlobal(QPoint(300, 80)));
    notice->fadeOut();
    QTRY_VERIFY_WITH_TIMEOUT(!notice->isVisible(), 3000);
    QCOMPARE(notice->windowOpacity(), 1.0);
}

QTEST_MAIN(WidgetsTest)
#include "WidgetsTest.moc"
