#include "settings/SettingsDialog.h"

#include "downloads/DownloadNames.h"
#include "ui_Settings.h"
#include "widgets/Identity.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFontDialog>
#include <QLocale>
#include <QSettings>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QtDebug>

#include <algorithm>

namespace {

// Days kept, in the order of the "Remove history items" choices; the last
// one, -1, is "Manually".
const int kHistoryExpireDays[] = { 1, 7, 14, 30, 365, -1 };
constexpr int kManually = 5;

bool namesNoLanguage(const QString& language)
{
    return language.isEmpty() || language.compare(QLatin1String("C"), Qt::CaseInsensitive) == 0
        || language.compare(QLatin1String("POSIX"), Qt::CaseInsensitive) == 0;
}

QString fontText(const QFont& font)
{
    return QStringLiteral("%1 %2").arg(font.family()).arg(font.pointSize());
}

} // namespace

SettingsDialog::SettingsDialog(QWidget* parent, CurrentPageUrl currentPageUrl)
    : QDialog(parent)
    , m_ui(new Ui::Settings)
    , m_currentPageUrl(std::move(currentPageUrl))
{
    m_ui->setupUi(this);
    // Only what the client acts on is shown: the download folder, where handed-over links
    // open, and the two live HTTP headers. The rest is stored as it was read, and the
    // client's fixed engine settings would overrule it anyway.
    for (QWidget* page : { m_ui->appearance, m_ui->privacy, m_ui->proxy })
        m_ui->tabWidget->removeTab(m_ui->tabWidget->indexOf(page));
    for (QWidget* idle : { static_cast<QWidget*>(m_ui->label_3), static_cast<QWidget*>(m_ui->homeLineEdit),
             static_cast<QWidget*>(m_ui->setHomeToCurrentPageButton), static_cast<QWidget*>(m_ui->label_4),
             static_cast<QWidget*>(m_ui->expireHistory), static_cast<QWidget*>(m_ui->enableScrollAnimator),
             static_cast<QWidget*>(m_ui->label_14), static_cast<QWidget*>(m_ui->userStyleSheet) })
        idle->hide();
    m_ui->tabWidget->setCurrentWidget(m_ui->general);
    QWebEngineProfile* profile = QWebEngineProfile::defaultProfile();
    m_openingUserAgent = profile->httpUserAgent();
    m_openingAcceptLanguage = profile->httpAcceptLanguage();
    connect(
        m_ui->setHomeToCurrentPageButton, &QPushButton::clicked, this, &SettingsDialog::setHomeToCurrentPage);
    connect(m_ui->standardFontButton, &QPushButton::clicked, this, &SettingsDialog::chooseFont);
    connect(m_ui->fixedFontButton, &QPushButton::clicked, this, &SettingsDialog::chooseFixedFont);
    connect(
        m_ui->chooseDownloadsLocation, &QPushButton::clicked, this, &SettingsDialog::chooseDownloadsLocation);
    loadDefaults();
    loadFromSettings();
}

SettingsDialog::~SettingsDialog() = default;

QString SettingsDialog::acceptLanguageFor(const QStringList& allLanguages)
{
    QStringList languages = allLanguages;
    languages.erase(std::remove_if(languages.begin(), languages.end(), namesNoLanguage), languages.end());
    if (languages.isEmpty())
        return QString();
    QString result = languages.first();
    const float step = 1.0f / languages.count();
    float q = 1.0f - step;
    for (int i = 1; i < languages.count(); ++i) {
        result += QStringLiteral(", %1;q=%2").arg(languages.at(i)).arg(double(q), 0, 'f', 2);
        q -= step;
    }
    return result;
}

void SettingsDialog::showFonts()
{
    m_ui->standardLabel->setText(fontText(m_standardFont));
    m_ui->fixedLabel->setText(fontText(m_fixedFont));
}

void SettingsDialog::loadDefaults()
{
    QWebEngineSettings* settings = QWebEngineSettings::defaultSettings();
    m_standardFont = QFont(settings->fontFamily(QWebEngineSettings::StandardFont),
        settings->fontSize(QWebEngineSettings::DefaultFontSize));
    m_fixedFont = QFont(settings->fontFamily(QWebEngineSettings::FixedFont),
        settings->fontSize(QWebEngineSettings::DefaultFixedFontSize));
    showFonts();

    m_ui->enableJavascript->setChecked(settings->testAttribute(QWebEngineSettings::JavascriptEnabled));
    m_ui->enablePlugins->setChecked(settings->testAttribute(QWebEngineSettings::PluginsEnabled));
    m_ui->enableScrollAnimator->setChecked(
        settings->testAttribute(QWebEngineSettings::ScrollAnimatorEnabled));

    QWebEngineProfile* profile = QWebEngineProfile::defaultProfile();
    m_ui->persistentDataPath->setText(profile->persistentStoragePath());
    m_ui->sessionCookiesCombo->setCurrentIndex(profile->persistentCookiesPolicy());
    m_ui->httpUserAgent->setText(profile->httpUserAgent());
    // The default locale is the interface language the client chose, never "C".
    m_ui->httpAcceptLanguage->setText(acceptLanguageFor(QLocale().uiLanguages()));
}

void SettingsDialog::loadFromSettings()
{
    QSettings settings(QLatin1String(Identity::OrganisationDomain), QLatin1String(Identity::ApplicationName));

    settings.beginGroup(QStringLiteral("history"));
    const int days = settings.value(QStringLiteral("historyExpire")).toInt();
    int historyIndex = kManually;
    for (int i = 0; i < kManually; ++i) {
        if (kHistoryExpireDays[i] == days)
            historyIndex = i;
    }
    m_ui->expireHistory->setCurrentIndex(historyIndex);
    settings.endGroup();

    // Where downloads go now: a stored folder that is gone shows the
    // standard one that replaces it.
    m_ui->downloadsLocation->setText(QDir::toNativeSeparators(DownloadNames::folder()));

    settings.beginGroup(QStringLiteral("general"));
    m_ui->openLinksIn->setCurrentIndex(
        settings.value(QStringLiteral("openLinksIn"), m_ui->openLinksIn->currentIndex()).toInt());
    settings.endGroup();

    settings.beginGroup(QStringLiteral("websettings"));
    m_fixedFont = qvariant_cast<QFont>(settings.value(QStringLiteral("fixedFont"), m_fixedFont));
    m_standardFont = qvariant_cast<QFont>(settings.value(QStringLiteral("standardFont"), m_standardFont));
    showFonts();
    m_ui->enableJavascript->setChecked(
        settings.value(QStringLiteral("enableJavascript"), m_ui->enableJavascript->isChecked()).toBool());
    m_ui->enablePlugins->setChecked(
        settings.value(QStringLiteral("enablePlugins"), m_ui->enablePlugins->isChecked()).toBool());
    m_ui->userStyleSheet->setPlainText(settings.value(QStringLiteral("userStyleSheet")).toString());
    m_ui->enableScrollAnimator->setChecked(
        settings.value(QStringLiteral("enableScrollAnimator"), m_ui->enableScrollAnimator->isChecked())
            .toBool());
    m_ui->httpUserAgent->setText(
        settings.value(QStringLiteral("httpUserAgent"), m_ui->httpUserAgent->text()).toString());
    m_ui->httpAcceptLanguage->setText(
        settings.value(QStringLiteral("httpAcceptLanguage"), m_ui->httpAcceptLanguage->text()).toString());
    settings.endGroup();

    settings.beginGroup(QStringLiteral("cookies"));
    m_ui->sessionCookiesCombo->setCurrentIndex(
        settings.value(QStringLiteral("persistentCookiesPolicy"), m_ui->sessionCookiesCombo->currentIndex())
            .toInt());
    m_ui->persistentDataPath->setText(
        settings.value(QStringLiteral("persistentDataPath"), m_ui->persistentDataPath->text()).toString());
    settings.endGroup();

    settings.beginGroup(QStringLiteral("proxy"));
    m_ui->proxySupport->setChecked(settings.value(QStringLiteral("enabled"), false).toBool());
    m_ui->proxyType->setCurrentIndex(settings.value(QStringLiteral("type"), 0).toInt());
    m_ui->proxyHostName->setText(settings.value(QStringLiteral("hostName")).toString());
    m_ui->proxyPort->setValue(settings.value(QStringLiteral("port"), 1080).toInt());
    m_ui->proxyUserName->setText(settings.value(QStringLiteral("userName")).toString());
    m_ui->proxyPassword->setText(settings.value(QStringLiteral("password")).toString());
    settings.endGroup();
}

void SettingsDialog::saveToSettings()
{
    {
        QSettings settings(
            QLatin1String(Identity::OrganisationDomain), QLatin1String(Identity::ApplicationName));
        settings.beginGroup(QStringLiteral("MainWindow"));
        settings.setValue(QStringLiteral("home"), m_ui->homeLineEdit->text());
        settings.endGroup();

        settings.beginGroup(QStringLiteral("general"));
        settings.setValue(QStringLiteral("openLinksIn"), m_ui->openLinksIn->currentIndex());
        settings.endGroup();

        settings.beginGroup(QStringLiteral("downloadmanager"));
        settings.setValue(QStringLiteral("downloadDirectory"),
            QDir::fromNativeSeparators(m_ui->downloadsLocation->text().trimmed()));
        settings.endGroup();

        settings.beginGroup(QStringLiteral("history"));
        const int historyIndex = m_ui->expireHistory->currentIndex();
        settings.setValue(QStringLiteral("historyExpire"),
            historyIndex >= 0 && historyIndex <= kManually ? kHistoryExpireDays[historyIndex] : -1);
        settings.endGroup();

        settings.beginGroup(QStringLiteral("websettings"));
        settings.setValue(QStringLiteral("fixedFont"), m_fixedFont);
        settings.setValue(QStringLiteral("standardFont"), m_standardFont);
        settings.setValue(QStringLiteral("enableJavascript"), m_ui->enableJavascript->isChecked());
        settings.setValue(QStringLiteral("enablePlugins"), m_ui->enablePlugins->isChecked());
        settings.setValue(QStringLiteral("enableScrollAnimator"), m_ui->enableScrollAnimator->isChecked());
        settings.setValue(QStringLiteral("userStyleSheet"), m_ui->userStyleSheet->toPlainText());
        settings.setValue(QStringLiteral("httpUserAgent"), m_ui->httpUserAgent->text());
        settings.setValue(QStringLiteral("httpAcceptLanguage"), m_ui->httpAcceptLanguage->text());
        settings.endGroup();

        settings.beginGroup(QStringLiteral("cookies"));
        settings.setValue(
            QStringLiteral("persistentCookiesPolicy"), m_ui->sessionCookiesCombo->currentIndex());
        settings.setValue(QStringLiteral("persistentDataPath"), m_ui->persistentDataPath->text());
        settings.endGroup();

        settings.beginGroup(QStringLiteral("proxy"));
        settings.setValue(QStringLiteral("enabled"), m_ui->proxySupport->isChecked());
        settings.setValue(QStringLiteral("type"), m_ui->proxyType->currentIndex());
        settings.setValue(QStringLiteral("hostName"), m_ui->proxyHostName->text());
        settings.setValue(QStringLiteral("port"), m_ui->proxyPort->text());
        settings.setValue(QStringLiteral("userName"), m_ui->proxyUserName->text());
        settings.setValue(QStringLiteral("password"), m_ui->proxyPassword->text());
        settings.endGroup();
    }

    // The application puts back its fixed engine settings (JavaScript,
    // plug-ins, cookies, storage): the stored values are kept, not applied.
    if (!QMetaObject::invokeMethod(
            QCoreApplication::instance(), "applyWebEngineSettings", Qt::DirectConnection))
        qDebug() << "SettingsDialog: the application does not apply web-engine settings";
}

void SettingsDialog::accept()
{
    saveToSettings();
    QDialog::accept();
}

void SettingsDialog::reject()
{
    QWebEngineProfile* profile = QWebEngineProfile::defaultProfile();
    profile->setHttpUserAgent(m_openingUserAgent);
    profile->setHttpAcceptLanguage(m_openingAcceptLanguage);
    QDialog::reject();
}

void SettingsDialog::setHomeToCurrentPage()
{
    if (!m_currentPageUrl)
        return;
    const std::optional<QUrl> url = m_currentPageUrl();
    if (url)
        m_ui->homeLineEdit->setText(url->toString());
}

void SettingsDialog::showCookies()
{
}

void SettingsDialog::showExceptions()
{
}

void SettingsDialog::chooseFont()
{
    bool ok = false;
    const QFont font = QFontDialog::getFont(&ok, m_standardFont, this);
    if (!ok)
        return;
    m_standardFont = font;
    showFonts();
}

void SettingsDialog::chooseDownloadsLocation()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, tr("Save downloads to"), QDir::fromNativeSeparators(m_ui->downloadsLocation->text()));
    if (!folder.isEmpty())
        m_ui->downloadsLocation->setText(QDir::toNativeSeparators(folder));
}

void SettingsDialog::chooseFixedFont()
{
    bool ok = false;
    const QFont font = QFontDialog::getFont(&ok, m_fixedFont, this);
    if (!ok)
        return;
    m_fixedFont = font;
    showFonts();
}

void SettingsDialog::on_httpUserAgent_editingFinished()
{
    QWebEngineProfile::defaultProfile()->setHttpUserAgent(m_ui->httpUserAgent->text());
}

void SettingsDialog::on_httpAcceptLanguage_editingFinished()
{
    // A field left empty, or naming only the C locale, keeps what was in
    // effect: "Accept-Language: C" would tell every site nonsense.
    QStringList kept;
    for (const QString& entry : m_ui->httpAcceptLanguage->text().split(QLatin1Char(','))) {
        if (!namesNoLanguage(entry.section(QLatin1Char(';'), 0, 0).trimmed()))
            kept << entry.trimmed();
    }
    QWebEngineProfile::defaultProfile()->setHttpAcceptLanguage(
        kept.isEmpty() ? m_openingAcceptLanguage : kept.join(QLatin1String(", ")));
}
