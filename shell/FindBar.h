#pragma once
#include <QPointer>
#include <QWidget>

class QLabel;
class QLineEdit;
class QWebEngineFindTextResult;
class QWebEnginePage;

// The transient bar that finds text in the current page: a text field,
// next and previous, and the number of matches. Esc closes it and clears
// the highlight.
class FindBar : public QWidget {
    Q_OBJECT
public:
    explicit FindBar(QWidget* parent = nullptr);

    void openFor(QWebEnginePage* page);
    QLineEdit* field() const { return m_field; }
    QString matchText() const;

public slots:
    void findNext();
    void findPrevious();
    void close();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void find(bool backward);
    void showResult(const QWebEngineFindTextResult& result);

    QPointer<QWebEnginePage> m_page;
    QLineEdit* m_field;
    QLabel* m_matches;
};
