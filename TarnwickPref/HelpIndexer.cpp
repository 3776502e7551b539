// Builds the full-text index of a help collection, as Help Indexer does for
// a Mac help book, so that the help viewer searches the book without writing
// anything at run time: HelpIndexer <collection.qhc>. The index goes where Qt's
// help engine looks for it, beside the collection. Run by the build.
#include <QEventLoop>
#include <QGuiApplication>
#include <QHelpEngineCore>
#include <QHelpSearchEngine>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: HelpIndexer <collection.qhc>\n");
        return 2;
    }
    // Reading the pages takes Qt's text layout, which needs a platform; the
    // build has no display.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int qtArgc = 1;
    QGuiApplication app(qtArgc, argv);
    QHelpEngineCore engine(QString::fromLocal8Bit(argv[1]));
    if (!engine.setupData() || engine.registeredDocumentations().isEmpty()) {
        std::fprintf(stderr, "HelpIndexer: %s: %s\n", argv[1],
                     engine.error().isEmpty() ? "no documentation registered"
                                              : engine.error().toLocal8Bit().constData());
        return 1;
    }
    QHelpSearchEngine search(&engine);
    QEventLoop loop;
    QObject::connect(&search, &QHelpSearchEngine::indexingFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(120000, &loop, [&loop] { loop.exit(1); });
    search.reindexDocumentation();
    if (loop.exec() != 0) {
        std::fprintf(stderr, "HelpIndexer: %s: indexing did not finish\n", argv[1]);
        return 1;
    }
    return 0;
}
