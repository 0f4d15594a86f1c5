#pragma once
#include <QDialog>
#include <QFont>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

namespace Ui {
class Settings;
}

// The "Settings" dialog: the web engine's current defaults overlaid with the
// native settings store, written back on OK. The user agent and the
// Accept-Language act on the default profile as soon as they are edited.
// After saving it asks the application to apply its fixed web-engine
// settings again (by name, when the application offers that method).
class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    // The URL of the window's current page, or nothing when it has no page.
    using CurrentPageUrl = std::function<std::optional<QUrl>()>;

    explicit SettingsDialog(QWidget* parent = nullptr, CurrentPageUrl currentPageUrl = CurrentPageUrl());
    ~SettingsDialog() override;

    void accept() override;
    // Cancel also undoes the live edits of the user agent and Accept-Language.
    void reject() override;

    // "en-US, en;q=0.50": the first language alone, the others with falling q.
    // "C" and "POSIX" name no language and are left out.
    static QString acceptLanguageFor(const QStringList& languages);

private slots:
    void loadDefaults();
    void loadFromSettings();
    void saveToSettings();
    void setHomeToCurrentPage();
    void showCookies();
    void showExceptions();
    void chooseFont();
    void chooseFixedFont();
    void chooseDownloadsLocation();
    void on_httpUserAgent_editingFinished();
    void on_httpAcceptLanguage_editingFinished();

private:
    void showFonts();

    std::unique_ptr<Ui::Settings> m_ui;
    CurrentPageUrl m_currentPageUrl;
    QFont m_standardFont;
    QFont m_fixedFont;
    // In effect when the dialog opened, for Cancel to put back.
    QString m_openingUserAgent;
    QString m_openingAcceptLanguage;
};
