#pragma once
#include <QUrl>
#include <QWidget>

class QLineEdit;
class QWebEngineProfile;
class WebView;

// A window a page opens as a dialog: an address line above a view. It takes
// the size the page asks for and closes when the page closes itself.
class PopupWindow : public QWidget {
    Q_OBJECT
public:
    explicit PopupWindow(QWebEngineProfile* profile);

    WebView* view() const { return m_view; }

private slots:
    void setUrl(const QUrl& url);
    void adjustGeometry(const QRect& newGeometry);

private:
    QLineEdit* m_addressBar;
    WebView* m_view;
};
