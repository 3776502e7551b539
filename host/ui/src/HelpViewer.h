// The help viewer window: a book's pages with back and forward, and a search
// field over the book. The search goes through Qt's help engine on the help
// collection the build made from the book (with its full-text index), opened
// read-only: the viewer never writes into a bundle.
#pragma once

#include <QHash>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>
#include <QWidget>
#include <memory>

class QHelpEngineCore;
class QHelpSearchEngine;
class QLineEdit;
class QToolButton;

namespace hostui {

// Pages by their file URLs; search results under the "x-help-search" scheme,
// so that back and forward also go through them.
class HelpBrowser : public QTextBrowser {
    Q_OBJECT

public:
    using QTextBrowser::QTextBrowser;
    void setResultsPage(const QString& query, const QString& html) { results_[query] = html; }
    static QUrl resultsUrl(const QString& query);

    QVariant loadResource(int type, const QUrl& name) override;

private:
    QHash<QString, QString> results_;
};

class HelpViewer : public QWidget {
    Q_OBJECT

public:
    HelpViewer();
    ~HelpViewer() override;

    // Shows `page` (a file URL, with its anchor as fragment) of the book in
    // `bookFolder`, whose help collection is `collection` (empty: none, and
    // the search field is disabled).
    void showPage(const QUrl& page, const QString& title, const QString& bookFolder,
                  const QString& collection);
    // Searches the book for `text` and shows the results page when done.
    void search(const QString& text);

signals:
    void searchFinished();

private:
    void openCollection(const QString& bookFolder, const QString& collection);
    void showResults(const QString& query);
    QUrl pageUrl(const QUrl& helpUrl) const;

    QToolButton* back_ = nullptr;
    QToolButton* forward_ = nullptr;
    QLineEdit* searchField_ = nullptr;
    HelpBrowser* browser_ = nullptr;
    QString bookFolder_;
    QString collection_;
    QString pendingQuery_;
    std::unique_ptr<QHelpEngineCore> engine_;
    QHelpSearchEngine* searchEngine_ = nullptr;
};

}  // namespace hostui
