// The settings dialog against the native settings store: defaults from the
// web engine, every key written on OK and shown again, the history and
// proxy-port conversions, and the two edits that act before OK.
#include "settings/SettingsDialog.h"
#include "shell/widgets/Identity.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTextEdit>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QtTest>
#include <memory>

namespace {

// The application's part the dialog calls by name after saving: it puts
// JavaScript back on, as the client's application object does.
class TestApplication : public QApplication {
    Q_OBJECT
public:
    using QApplication::QApplication;
    int applied = 0;
    Q_INVOKABLE void applyWebEngineSettings()
    {
        ++applied;
        QWebEngineSettings::defaultSettings()->setAttribute(QWebEngineSettings::JavascriptEnabled, true);
    }
};

TestApplication* testApp()
{
    return static_cast<TestApplication*>(QCoreApplication::instance());
}

std::unique_ptr<QSettings> store()
{
    return std::make_unique<QSettings>(
        QLatin1String(Identity::OrganisationDomain), QLatin1String(Identity::ApplicationName));
}

template <typename T> T* child(QObject* parent, const char* name)
{
    T* found = parent->findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

void pressButton(QDialog* dialog, QDialogButtonBox::StandardButton which)
{
    QTest::mouseClick(child<QDialogButtonBox>(dialog, "buttonBox")->button(which), Qt::LeftButton);
}

// Types a text into a line edit and leaves it with Tab (Return would press
// the dialog's default button, OK).
void typeInto(QLineEdit* edit, const QString& text)
{
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Tab);
}

} // namespace

class SettingsDialogTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void emptyStoreShowsEngineDefaults();
    void everyKeyRoundTrips();
    void historyExpireReadBack_data();
    void historyExpireReadBack();
    void historyExpireSaved_data();
    void historyExpireSaved();
    void cancelKeepsLiveEditsButStoresNothing();
    void acceptLanguageRule_data();
    void acceptLanguageRule();
    void homeFromCurrentPage();
    void fontChooserUpdatesLabel();

private:
    QString m_originalUserAgent;
    QString m_originalAcceptLanguage;
};

void SettingsDialogTest::init()
{
    store()->clear();
    QWebEngineProfile* profile = QWebEngineProfile::defaultProfile();
    if (m_originalUserAgent.isEmpty()) {
        m_originalUserAgent = profile->httpUserAgent();
        m_originalAcceptLanguage = profile->httpAcceptLanguage();
    }
    profile->setHttpUserAgent(m_originalUserAgent);
    profile->setHttpAcceptLanguage(m_originalAcceptLanguage);
    testApp()->applied = 0;
}

void SettingsDialogTest::emptyStoreShowsEngineDefaults()
{
    SettingsDialog dialog;
    QWebEngineSettings* web = QWebEngineSettings::defaultSettings();
    QWebEngineProfile* profile = QWebEngineProfile::defaultProfile();
    QCOMPARE(child<QTabWidget>(&dialog, "tabWidget")->currentIndex(), 4);
    QCOMPARE(child<QComboBox>(&dialog, "expireHistory")->currentText(), QStringLiteral("Manually"));
    QCOMPARE(child<QLineEdit>(&dialog, "downloadsLocation")->text(),
        QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
    QCOMPARE(child<QComboBox>(&dialog, "openLinksIn")->currentIndex(), 0);
    QCOMPARE(child<QLineEdit>(&dialog, "homeLineEdit")->text(), QString());
    QCOMPARE(child<QLabel>(&dialog, "standardLabel")->text(),
        QStringLiteral("%1 %2")
            .arg(web->fontFamily(QWebEngineSettings::StandardFont))
            .arg(web->fontSize(QWebEngineSettings::DefaultFontSize)));
    QCOMPARE(child<QLabel>(&dialog, "fixedLabel")->text(),
        QStringLiteral("%1 %2")
            .arg(web->fontFamily(QWebEngineSettings::FixedFont))
            .arg(web->fontSize(QWebEngineSettings::DefaultFixedFontSize)));
    QCOMPARE(child<QCheckBox>(&dialog, "enableJavascript")->isChecked(),
        web->testAttribute(QWebEngineSettings::JavascriptEnabled));
    QCOMPARE(child<QLineEdit>(&dialog, "persistentDataPath")->text(), profile->persistentStoragePath());
    QCOMPARE(child<QComboBox>(&dialog, "sessionCookiesCombo")->currentIndex(),
        int(profile->persistentCookiesPolicy()));
    QCOMPARE(child<QLineEdit>(&dialog, "httpUserAgent")->text(), profile->httpUserAgent());
    QCOMPARE(child<QLineEdit>(&dialog, "httpAcceptLanguage")->text(),
        SettingsDialog::acceptLanguageFor(QLocale::system().uiLanguages()));
    QVERIFY(!child<QGroupBox>(&dialog, "proxySupport")->isChecked());
    QCOMPARE(child<QSpinBox>(&dialog, "proxyPort")->value(), 1080);
}

void SettingsDialogTest::everyKeyRoundTrips()
{
    const QFont standardFont(QStringLiteral("DejaVu Serif"), 17);
    const QFont fixedFont(QStringLiteral("DejaVu Sans Mono"), 11);
    {
        auto seed = store();
        seed->setValue(QStringLiteral("websettings/standardFont"), standardFont);
        seed->setValue(QStringLiteral("websettings/fixedFont"), fixedFont);
        seed->setValue(QStringLiteral("downloadmanager/downloadDirectory"), QStringLiteral("/srv/downloads"));
    }
    const bool scrollAnimator
        = !QWebEngineSettings::defaultSettings()->testAttribute(QWebEngineSettings::ScrollAnimatorEnabled);

    auto* dialog = new SettingsDialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    QCOMPARE(child<QLabel>(dialog, "standardLabel")->text(), QStringLiteral("DejaVu Serif 17"));
    QCOMPARE(child<QLabel>(dialog, "fixedLabel")->text(), QStringLiteral("DejaVu Sans Mono 11"));
    QCOMPARE(child<QLineEdit>(dialog, "downloadsLocation")->text(), QStringLiteral("/srv/downloads"));
    child<QLineEdit>(dialog, "homeLineEdit")->setText(QStringLiteral("http://home.test/"));
    child<QComboBox>(dialog, "openLinksIn")->setCurrentIndex(1);
    child<QComboBox>(dialog, "expireHistory")->setCurrentIndex(2);
    child<QCheckBox>(dialog, "enableJavascript")->setChecked(false);
    child<QCheckBox>(dialog, "enablePlugins")->setChecked(false);
    child<QCheckBox>(dialog, "enableScrollAnimator")->setChecked(scrollAnimator);
    child<QTextEdit>(dialog, "userStyleSheet")->setPlainText(QStringLiteral("body { color: red; }"));
    child<QLineEdit>(dialog, "httpUserAgent")->setText(QStringLiteral("RoundTrip/1.0"));
    child<QLineEdit>(dialog, "httpAcceptLanguage")->setText(QStringLiteral("fr, en;q=0.50"));
    child<QComboBox>(dialog, "sessionCookiesCombo")->setCurrentIndex(2);
    child<QLineEdit>(dialog, "persistentDataPath")->setText(QStringLiteral("/srv/profile"));
    child<QGroupBox>(dialog, "proxySupport")->setChecked(true);
    child<QComboBox>(dialog, "proxyType")->setCurrentIndex(1);
    child<QLineEdit>(dialog, "proxyHostName")->setText(QStringLiteral("proxy.test"));
    child<QSpinBox>(dialog, "proxyPort")->setValue(3128);
    child<QLineEdit>(dialog, "proxyUserName")->setText(QStringLiteral("pupil"));
    child<QLineEdit>(dialog, "proxyPassword")->setText(QStringLiteral("open sesame"));
    QPointer<SettingsDialog> guard(dialog);
    pressButton(dialog, QDialogButtonBox::Ok);
    QTRY_VERIFY(guard.isNull());

    // OK re-applied the fixed engine settings: JavaScript is on whatever was stored.
    QCOMPARE(testApp()->applied, 1);
    QVERIFY(QWebEngineSettings::defaultSettings()->testAttribute(QWebEngineSettings::JavascriptEnabled));

    const QString on = QStringLiteral("true");
    const QString off = QStringLiteral("false");
    const QList<QPair<QString, QString>> expected = {
        { "MainWindow/home", "http://home.test/" },
        { "general/openLinksIn", "1" },
        { "history/historyExpire", "14" },
        { "websettings/standardFont", standardFont.toString() },
        { "websettings/fixedFont", fixedFont.toString() },
        { "websettings/enableJavascript", off },
        { "websettings/enablePlugins", off },
        { "websettings/enableScrollAnimator", scrollAnimator ? on : off },
        { "websettings/userStyleSheet", "body { color: red; }" },
        { "websettings/httpUserAgent", "RoundTrip/1.0" },
        { "websettings/httpAcceptLanguage", "fr, en;q=0.50" },
        { "cookies/persistentCookiesPolicy", "2" },
        { "cookies/persistentDataPath", "/srv/profile" },
        { "proxy/enabled", on },
        { "proxy/type", "1" },
        { "proxy/hostName", "proxy.test" },
        { "proxy/port", "3128" },
        { "proxy/userName", "pupil" },
        { "proxy/password", "open sesame" },
        // Read for display, never written back.
        { "downloadmanager/downloadDirectory", "/srv/downloads" },
    };
    auto saved = store();
    QStringList keys = saved->allKeys();
    for (const auto& entry : expected) {
        QVERIFY2(saved->contains(entry.first), qPrintable(entry.first));
        QCOMPARE(saved->value(entry.first).toString(), entry.second);
        keys.removeAll(entry.first);
    }
    QCOMPARE(keys, QStringList());
    // The port is kept as the spin box's text.
    QCOMPARE(saved->value(QStringLiteral("proxy/port")).userType(), int(QMetaType::QString));

    SettingsDialog again;
    QCOMPARE(child<QLineEdit>(&again, "homeLineEdit")->text(), QString());
    QCOMPARE(child<QComboBox>(&again, "openLinksIn")->currentIndex(), 1);
    QCOMPARE(child<QComboBox>(&again, "expireHistory")->currentText(), QStringLiteral("After two weeks"));
    QCOMPARE(child<QLabel>(&again, "standardLabel")->text(), QStringLiteral("DejaVu Serif 17"));
    QCOMPARE(child<QLabel>(&again, "fixedLabel")->text(), QStringLiteral("DejaVu Sans Mono 11"));
    QVERIFY(!child<QCheckBox>(&again, "enableJavascript")->isChecked());
    QVERIFY(!child<QCheckBox>(&again, "enablePlugins")->isChecked());
    QCOMPARE(child<QCheckBox>(&again, "enableScrollAnimator")->isChecked(), scrollAnimator);
    QCOMPARE(
        child<QTextEdit>(&again, "userStyleSheet")->toPlainText(), QStringLiteral("body { color: red; }"));
    QCOMPARE(child<QLineEdit>(&again, "httpUserAgent")->text(), QStringLiteral("RoundTrip/1.0"));
    QCOMPARE(child<QLineEdit>(&again, "httpAcceptLanguage")->text(), QStringLiteral("fr, en;q=0.50"));
    QCOMPARE(child<QComboBox>(&again, "sessionCookiesCombo")->currentIndex(), 2);
    QCOMPARE(child<QLineEdit>(&again, "persistentDataPath")->text(), QStringLiteral("/srv/profile"));
    QVERIFY(child<QGroupBox>(&again, "proxySupport")->isChecked());
    QCOMPARE(child<QComboBox>(&again, "proxyType")->currentIndex(), 1);
    QCOMPARE(child<QLineEdit>(&again, "proxyHostName")->text(), QStringLiteral("proxy.test"));
    QCOMPARE(child<QSpinBox>(&again, "proxyPort")->value(), 3128);
    QCOMPARE(child<QLineEdit>(&again, "proxyUserName")->text(), QStringLiteral("pupil"));
    QCOMPARE(child<QLineEdit>(&again, "proxyPassword")->text(), QStringLiteral("open sesame"));
}

void SettingsDialogTest::historyExpireReadBack_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("shown");
    QTest::newRow("absent") << QVariant() << "Manually";
    QTest::newRow("1") << QVariant(1) << "After one day";
    QTest::newRow("7") << QVariant(7) << "After one week";
    QTest::newRow("14") << QVariant(14) << "After two weeks";
    QTest::newRow("30") << QVariant(30) << "After one month";
    QTest::newRow("365") << QVariant(365) << "After one year";
    QTest::newRow("-1") << QVariant(-1) << "Manually";
    QTest::newRow("3") << QVariant(3) << "Manually";
    QTest::newRow("text") << QVariant(QStringLiteral("soon")) << "Manually";
}

void SettingsDialogTest::historyExpireReadBack()
{
    QFETCH(QVariant, stored);
    QFETCH(QString, shown);
    if (stored.isValid())
        store()->setValue(QStringLiteral("history/historyExpire"), stored);
    SettingsDialog dialog;
    QCOMPARE(child<QComboBox>(&dialog, "expireHistory")->currentText(), shown);
}

void SettingsDialogTest::historyExpireSaved_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("days");
    const int days[] = { 1, 7, 14, 30, 365, -1 };
    for (int i = 0; i < 6; ++i)
        QTest::addRow("item %d", i) << i << days[i];
    QTest::newRow("no selection") << -1 << -1;
}

void SettingsDialogTest::historyExpireSaved()
{
    QFETCH(int, index);
    QFETCH(int, days);
    auto* dialog = new SettingsDialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    child<QComboBox>(dialog, "expireHistory")->setCurrentIndex(index);
    dialog->accept();
    QCOMPARE(store()->value(QStringLiteral("history/historyExpire")).toInt(), days);
}

void SettingsDialogTest::cancelKeepsLiveEditsButStoresNothing()
{
    auto* dialog = new SettingsDialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    QWebEngineProfile* profile = QWebEngineProfile::defaultProfile();

    typeInto(child<QLineEdit>(dialog, "httpUserAgent"), QStringLiteral("LiveAgent/2.0"));
    QCOMPARE(profile->httpUserAgent(), QStringLiteral("LiveAgent/2.0"));
    typeInto(child<QLineEdit>(dialog, "httpAcceptLanguage"), QStringLiteral("nl, en;q=0.50"));
    QCOMPARE(profile->httpAcceptLanguage(), QStringLiteral("nl, en;q=0.50"));

    QPointer<SettingsDialog> guard(dialog);
    pressButton(dialog, QDialogButtonBox::Cancel);
    QTRY_VERIFY(guard.isNull());
    QCOMPARE(profile->httpUserAgent(), QStringLiteral("LiveAgent/2.0"));
    QCOMPARE(profile->httpAcceptLanguage(), QStringLiteral("nl, en;q=0.50"));
    QCOMPARE(store()->allKeys(), QStringList());
    QCOMPARE(testApp()->applied, 0);
}

void SettingsDialogTest::acceptLanguageRule_data()
{
    QTest::addColumn<QStringList>("languages");
    QTest::addColumn<QString>("header");
    QTest::newRow("none") << QStringList() << "";
    QTest::newRow("one") << QStringList { "zh-CN" } << "zh-CN";
    QTest::newRow("two") << QStringList { "en-GB", "en" } << "en-GB, en;q=0.50";
    QTest::newRow("three") << QStringList { "de-DE", "de", "en" } << "de-DE, de;q=0.67, en;q=0.33";
}

void SettingsDialogTest::acceptLanguageRule()
{
    QFETCH(QStringList, languages);
    QFETCH(QString, header);
    QCOMPARE(SettingsDialog::acceptLanguageFor(languages), header);
}

void SettingsDialogTest::homeFromCurrentPage()
{
    std::optional<QUrl> page = QUrl(QStringLiteral("http://lesson.test/unit/3?step=2"));
    SettingsDialog dialog(nullptr, [&page] { return page; });
    auto* home = child<QLineEdit>(&dialog, "homeLineEdit");
    auto* button = child<QPushButton>(&dialog, "setHomeToCurrentPageButton");
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(home->text(), QStringLiteral("http://lesson.test/unit/3?step=2"));
    // Without a page (the window's first placeholder tab) the field stays.
    page.reset();
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(home->text(), QStringLiteral("http://lesson.test/unit/3?step=2"));
}

void SettingsDialogTest::fontChooserUpdatesLabel()
{
    SettingsDialog dialog;
    dialog.show();
    QTimer::singleShot(0, this, [] {
        auto* fontDialog = qobject_cast<QFontDialog*>(QApplication::activeModalWidget());
        if (!fontDialog)
            return;
        fontDialog->setCurrentFont(QFont(QStringLiteral("DejaVu Sans"), 21));
        fontDialog->accept();
    });
    QTest::mouseClick(child<QPushButton>(&dialog, "standardFontButton"), Qt::LeftButton);
    QCOMPARE(child<QLabel>(&dialog, "standardLabel")->text(), QStringLiteral("DejaVu Sans 21"));
    dialog.accept();
    QCOMPARE(qvariant_cast<QFont>(store()->value(QStringLiteral("websettings/standardFont"))).family(),
        QStringLiteral("DejaVu Sans"));
}

int main(int argc, char** argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    TestApplication app(argc, argv);
    SettingsDialogTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "SettingsDialogTest.moc"
