#include "HelpViewer.h"

#include <QHBoxLayout>
#include <QHelpEngineCore>
#include <QHelpSearchEngine>
#include <QHelpSearchResult>
#include <QLineEdit>
#include <QStyle>
#include <QTextDocument>
#include <QToolButton>
#include <QVBoxLayout>

namespace hostui {

namespace {
constexpr const char* kResultsScheme = "x-help-search";
}  // namespace

QUrl HelpBrowser::resultsUrl(const QString& query) {
    QUrl url;
    url.setScheme(QLatin1String(kResultsScheme));
    url.setPath(query);
    return url;
}

QVariant HelpBrowser::loadResource(int type, const QUrl& name) {
    if (name.scheme() == QLatin1String(kResultsScheme)) return results_.value(name.path());
    return QTextBrowser::loadResource(type, name);
}

HelpViewer::HelpViewer() {
    setAttribute(Qt::WA_DeleteOnClose);
    back_ = new QToolButton;
    back_->setObjectName(QStringLiteral("backButton"));
    back_->setIcon(style()->standardIcon(QStyle::SP_ArrowBack));
    back_->setToolTip(QStringLiteral("Back"));
    back_->setEnabled(false);
    forward_ = new QToolButton;
    forward_->setObjectName(QStringLiteral("forwardButton"));
    forward_->setIcon(style()->standardIcon(QStyle::SP_ArrowForward));
    forward_->setToolTip(QStringLiteral("Forward"));
    forward_->setEnabled(false);
    searchField_ = new QLineEdit;
    searchField_->setObjectName(QStringLiteral("searchField"));
    searchField_->setPlaceholderText(QStringLiteral("Search"));
    searchField_->setClearButtonEnabled(true);
    searchField_->setMaximumWidth(220);
    browser_ = new HelpBrowser;
    browser_->setObjectName(QStringLiteral("helpBrowser"));
    browser_->setOpenExternalLinks(false);

    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(6, 6, 6, 6);
    bar->addWidget(back_);
    bar->addWidget(forward_);
    bar->addStretch(1);
    bar->addWidget(searchField_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addLayout(bar);
    layout->addWidget(browser_, 1);

    connect(back_, &QToolButton::clicked, browser_, &QTextBrowser::backward);
    connect(forward_, &QToolButton::clicked, browser_, &QTextBrowser::forward);
    connect(browser_, &QTextBrowser::backwardAvailable, back_, &QToolButton::setEnabled);
    connect(browser_, &QTextBrowser::forwardAvailable, forward_, &QToolButton::setEnabled);
    connect(searchField_, &QLineEdit::returnPressed, this,
            [this] { search(searchField_->text().trimmed()); });
    resize(640, 560);
}

HelpViewer::~HelpViewer() = default;

void HelpViewer::showPage(const QUrl& page, const QString& title, const QString& bookFolder,
                          const QString& collection) {
    openCollection(bookFolder, collection);
    browser_->setSearchPaths({bookFolder});
    browser_->setSource(page);
    setWindowTitle(title);
}

void HelpViewer::openCollection(const QString& bookFolder, const QString& collection) {
    if (bookFolder == bookFolder_ && collection == collection_) return;
    bookFolder_ = bookFolder;
    collection_ = collection;
    searchEngine_ = nullptr;
    engine_.reset();
    if (!collection.isEmpty()) {
        engine_ = std::make_unique<QHelpEngineCore>(collection);
        // The collection and its index come with the book: read, never written.
        engine_->setReadOnly(true);
        if (engine_->setupData()) {
            searchEngine_ = new QHelpSearchEngine(engine_.get(), engine_.get());
            connect(searchEngine_, &QHelpSearchEngine::searchingFinished, this,
                    [this] { showResults(pendingQuery_); });
        } else {
            engine_.reset();
        }
    }
    searchField_->setEnabled(searchEngine_ != nullptr);
    searchField_->setToolTip(searchEngine_ != nullptr
                                 ? QStringLiteral("Search this book")
                                 : QStringLiteral("This book has no search index"));
}

void HelpViewer::search(const QString& text) {
    if (searchEngine_ == nullptr || text.isEmpty()) return;
    pendingQuery_ = text;
    searchEngine_->search(text);
}

QUrl HelpViewer::pageUrl(const QUrl& helpUrl) const {
    // qthelp://<namespace>/<virtual folder>/<page>: the page's path in the book folder.
    QString path = helpUrl.path();
    const qsizetype folderEnd = path.indexOf(QLatin1Char('/'), 1);
    path = folderEnd >= 0 ? path.mid(folderEnd + 1) : path.mid(1);
    QUrl url = QUrl::fromLocalFile(bookFolder_ + QLatin1Char('/') + path);
    url.setFragment(helpUrl.fragment());
    return url;
}

void HelpViewer::showResults(const QString& query) {
    const QList<QHelpSearchResult> results =
        searchEngine_->searchResults(0, searchEngine_->searchResultCount());
    QString html = QStringLiteral("<h1>Search results</h1>");
    const QString quoted =
        QStringLiteral("\u201C") + query.toHtmlEscaped() + QStringLiteral("\u201D");
    if (results.isEmpty()) {
        html += QStringLiteral("<p>No page of this book contains %1.</p>").arg(quoted);
    } else {
        html += QStringLiteral("<p>%1 %2 %3:</p><ul>")
                    .arg(results.size())
                    .arg(results.size() == 1 ? QStringLiteral("page contains")
                                             : QStringLiteral("pages contain"))
                    .arg(quoted);
        for (const QHelpSearchResult& result : results)
            html += QStringLiteral("<li><a href=\"%1\">%2</a><br>%3</li>")
                        .arg(pageUrl(result.url()).toString(QUrl::FullyEncoded),
                             result.title().toHtmlEscaped(), result.snippet());
        html += QStringLiteral("</ul>");
    }
    browser_->setResultsPage(query, html);
    browser_->setSource(HelpBrowser::resultsUrl(query));
    emit searchFinished();
}

}  // namespace hostui
