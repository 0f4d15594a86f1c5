// The settings dialog against the native settings store.
#include "settings/SettingsDialog.h"
#include "GuiTest.h"
#include "downloads/DownloadNames.h"

#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QtWidgets>

namespace {

// Called by name after saving; puts JavaScript back on as the client's application does.
class TestApplication : public QApplication {
    Q_OBJECT
public:
    using QApplication::QApplication;
    static inline int applied = 0;
    Q_INVOKABLE void applyWebEngineSettings()
    {
        ++applied;
        QWebEngineSettings::defaultSettings()->setAttribute(QWebEngineSettings::JavascriptEnabled, true);
    }
};

} // namespace

class SettingsDialogTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        nativeStore()->clear();
        TestApplication::applied = 0;
    }

    void everyKeyRoundTrips()
    {
        nativeStore()->setValue("websettings/standardFont", QFont("DejaVu Serif", 17));
        nativeStore()->setValue("websettings/fixedFont", QFont("DejaVu Sans Mono", 11));
        // A stored folder that is gone shows the standard one, where downloads then go.
        nativeStore()->setValue("downloadmanager/downloadDirectory", "/srv/gone/downloads");
        QTemporaryDir folder;
        const bool scrollAnimator = !QWebEngineSettings::defaultSettings()->testAttribute(
            QWebEngineSettings::ScrollAnimatorEnabled);
        // The text stored, when not the value's own.
        struct Entry {
            const char* field;
            const char* property;
            QVariant value;
            const char* key;
            QString stored = value.toString();
        };
        const QList<Entry> entries = {
            { "openLinksIn", "currentIndex", 1, "general/openLinksIn" },
            { "downloadsLocation", "text", folder.path(), "downloadmanager/downloadDirectory" },
            { "expireHistory", "currentIndex", 2, "history/historyExpire", "14" },
            { "enableJavascript", "checked", false, "websettings/enableJavascript" },
            { "enablePlugins", "checked", false, "websettings/enablePlugins" },
            { "enableScrollAnimator", "checked", scrollAnimator, "websettings/enableScrollAnimator" },
            { "userStyleSheet", "plainText", "body { color: red; }", "websettings/userStyleSheet" },
            { "httpUserAgent", "text", "RoundTrip/1.0", "websettings/httpUserAgent" },
            { "httpAcceptLanguage", "text", "fr, en;q=0.50", "websettings/httpAcceptLanguage" },
            { "sessionCookiesCombo", "currentIndex", 2, "cookies/persistentCookiesPolicy" },
            { "persistentDataPath", "text", "/srv/profile", "cookies/persistentDataPath" },
            { "proxySupport", "checked", true, "proxy/enabled" },
            { "proxyType", "currentIndex", 1, "proxy/type" },
            { "proxyHostName", "text", "proxy.test", "proxy/hostName" },
            { "proxyPort", "value", 3128, "proxy/port" },
            { "proxyUserName", "text", "pupil", "proxy/userName" },
            { "proxyPassword", "text", "open sesame", "proxy/password" },
        };
        auto* dialog = new SettingsDialog;
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->show();
        QCOMPARE(child<QLineEdit>(dialog, "downloadsLocation")->text(),
            QStandardPaths::writableLocation(QStandardPaths::DownloadLocation));
        for (const Entry& entry : entries)
            QVERIFY(child<QWidget>(dialog, entry.field)->setProperty(entry.property, entry.value));
        QPointer<SettingsDialog> guard(dialog);
        child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
        WAIT(guard.isNull());
        // OK re-applied the fixed engine settings: JavaScript is on whatever was stored.
        QCOMPARE(TestApplication::applied, 1);
        QVERIFY(QWebEngineSettings::defaultSettings()->testAttribute(QWebEngineSettings::JavascriptEnabled));
        auto saved = nativeStore();
        QStringList keys = saved->allKeys();
        for (const Entry& entry : entries) {
            QCOMPARE(saved->value(entry.key).toString(), entry.stored);
            keys.removeAll(entry.key);
        }
        QCOMPARE(saved->value("proxy/port").userType(), int(QMetaType::QString)); // the spin box's text
        keys.removeAll("MainWindow/home");
        QCOMPARE(keys, (QStringList { "websettings/fixedFont", "websettings/standardFont" }));
        QCOMPARE(DownloadNames::folder(), folder.path()); // later downloads go there
        SettingsDialog again;
        for (const Entry& entry : entries)
            QCOMPARE(child<QWidget>(&again, entry.field)->property(entry.property), entry.value);
        QCOMPARE(child<QLabel>(&again, "standardLabel")->text(), QStringLiteral("DejaVu Serif 17"));
        QCOMPARE(child<QLabel>(&again, "fixedLabel")->text(), QStringLiteral("DejaVu Sans Mono 11"));
    }

    // What the user can change is what the client acts on; the rest is not shown.
    void onlyWorkingControlsShown()
    {
        SettingsDialog dialog;
        auto* tabs = child<QTabWidget>(&dialog, "tabWidget");
        QStringList shown; // per tab: its name and its visible controls
        for (int i = 0; i < tabs->count(); ++i) {
            QStringList controls;
            for (QWidget* control : tabs->widget(i)->findChildren<QWidget*>()) {
                const bool input = qobject_cast<QAbstractButton*>(control)
                    || qobject_cast<QLineEdit*>(control) || qobject_cast<QComboBox*>(control)
                    || qobject_cast<QAbstractScrollArea*>(control)
                    || qobject_cast<QAbstractSpinBox*>(control);
                if (input && !control->objectName().isEmpty() && control->isVisibleTo(tabs->widget(i)))
                    controls << control->objectName();
            }
            controls.sort();
            shown << tabs->tabText(i) + ": " + controls.join(' ');
        }
        QCOMPARE(shown,
            (QStringList { "General: chooseDownloadsLocation downloadsLocation openLinksIn",
                "Advanced: httpAcceptLanguage httpUserAgent" }));
        QCOMPARE(tabs->currentIndex(), 0);
    }

    void historyExpire_data()
    {
        columns<QVariant, QString, int>("stored", "shown", "saved");
        row("absent", QVariant(), "Manually", -1);
        row("1", QVariant(1), "After one day", 1);
    }
    void historyExpire()
    {
        const auto [stored, shown, saved] = fetch<QVariant, QString, int>("stored", "shown", "saved");
        if (stored.isValid())
            nativeStore()->setValue("history/historyExpire", stored);
        auto* dialog = new SettingsDialog;
        QCOMPARE(child<QComboBox>(dialog, "expireHistory")->currentText(), shown);
        dialog->accept();
        QCOMPARE(nativeStore()->value("history/historyExpire").toInt(), saved);
    }

    // Tab applies what was typed, Cancel restores and stores nothing; "C" or a click-through never applies.
    void cancelRestoresLiveEdits_data()
    {
        columns<QString, QString, bool>("field", "typed", "applied");
        row("user agent", "httpUserAgent", "LiveAgent/2.0", true);
        row("Accept-Language", "httpAcceptLanguage", "nl, en;q=0.50", true);
        row("Accept-Language C", "httpAcceptLanguage", "C", false);
        row("Accept-Language clicked through", "httpAcceptLanguage", "", false);
    }
    void cancelRestoresLiveEdits()
    {
        const auto [field, typed, applied] = fetch<QString, QString, bool>("field", "typed", "applied");
        QWebEngineProfile* profile = QWebEngineProfile::defaultProfile();
        auto live = [&, field = field] {
            return field == "httpUserAgent" ? profile->httpUserAgent() : profile->httpAcceptLanguage();
        };
        const QString opening = live();
        auto* dialog = new SettingsDialog;
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->show();
        dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        auto* edit = child<QLineEdit>(dialog, qPrintable(field));
        edit->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, typed);
        QTest::keyClick(edit, Qt::Key_Tab);
        QCOMPARE(live(), applied ? typed : opening);
        QPointer<SettingsDialog> guard(dialog);
        child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Cancel)->click();
        WAIT(guard.isNull());
        QCOMPARE(live(), opening);
        QCOMPARE(nativeStore()->allKeys(), QStringList());
        QCOMPARE(TestApplication::applied, 0);
    }

    void acceptLanguageRule()
    {
        QCOMPARE(SettingsDialog::acceptLanguageFor({ "zh-CN" }), QStringLiteral("zh-CN"));
        QCOMPARE(SettingsDialog::acceptLanguageFor({ "de-DE", "de", "en" }),
            QStringLiteral("de-DE, de;q=0.67, en;q=0.33"));
        QCOMPARE(SettingsDialog::acceptLanguageFor({ "C" }), QString()); // the C locale: no language
        QCOMPARE(SettingsDialog::acceptLanguageFor({ "POSIX", "en" }), QStringLiteral("en"));
    }
};

int main(int argc, char** argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    TestApplication app(argc, argv);
    SettingsDialogTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "SettingsDialogTest.moc"
