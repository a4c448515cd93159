#pragma once

#include "book/TreeNodeInfo.h"
#include "material/SmartLibrary.h"
#include "material/SmartSearchState.h"

#include <QModelIndex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>

class MaterialBrowser;
class MyTextEdit;
class QAction;
class QFrame;
class QLineEdit;
class QListView;
class QStandardItemModel;
class QTabWidget;
class QThread;
class SmartSearchThreadWorker;
class WorkerHost;

// Suggestions while typing and the keyword searches: feeds the editor's strings to the search
// worker, shows its results a page at a time under the editor and inserts the chosen one;
// searches the material library or the user materials for a keyword and hands a keyword to the
// web search. The result pages and their records belong to the GUI thread alone.
class MaterialSearchController final : public QObject
{
    Q_OBJECT
public:
    struct Widgets {
        MyTextEdit *editor = nullptr;
        QFrame *frameSearchMaterial = nullptr;
        QListView *listViewSearchMaterial = nullptr;
        QLineEdit *lineEditWord = nullptr;
        QTabWidget *tabWidgetMaterial = nullptr;
        QListView *listViewMaterial = nullptr;
        QAction *actionMaterialFirstPage = nullptr;
        QAction *actionMaterialPreviousPage = nullptr;
        QAction *actionMaterialNextPage = nullptr;
        QAction *actionMaterialLastPage = nullptr;
        QAction *actionTextInsertMaterialTitle = nullptr;
        QAction *actionTextInsertMaterialContent = nullptr;
        QAction *actionSmartSentenceWordSwitch = nullptr;
    };
    using UrlOpener = std::function<bool(const QUrl &)>;

    static constexpr int kResultNoticeMs = 4000;
    static constexpr int kMinPageSize = 5;
    static constexpr int kMaxPageSize = 100;

    MaterialSearchController(const Widgets &widgets, MaterialBrowser *browser, QObject *parent = nullptr);
    ~MaterialSearchController() override;

    // Puts the worker on a thread of its own (inherited priority), registered with host so that
    // the shutdown stops it; its doSmartSearch slot sets it going.
    void startWorker(WorkerHost *host);
    SmartSearchThreadWorker *worker() const { return m_worker; }
    QThread *thread() const { return m_thread; }
    material::SmartSearchState &state() { return m_state; }

    // Results per page as stored, kept within 5 to 100.
    static int pageSize();
    int resultCount() const { return m_result.size(); }
    int pageCount() const;
    int currentPage() const { return m_page; }
    QStandardItemModel *pageModel() const { return m_pageModel; }
    TreeNodeList &pageRecords() { return m_pageRecords; }

    // Where the web search opens its address; the desktop services by default.
    void setUrlOpener(UrlOpener opener) { m_openUrl = std::move(opener); }

public slots:
    void textEditorLastInput();
    void textEditorLastInputStringReseted();
    void textEditorLastInputStringChanged(const QString &lastInputString, const QString &lastComboInputString);
    void searchStringFinish(QString lastInputString, QString lastComboInputString, material::SmartResult result);
    void showSmartSearchPage(int page);
    void refreshSearchToolButtonState();
    void firstPage();
    void previousPage();
    void nextPage();
    void lastPage();
    void insertTitle();
    void insertContent();
    void listViewSearchMaterialDoubleClicked(const QModelIndex &index);
    void hideResults();
    void switchSmartSentenceWord();

    // Keyword search: 0 the material library, 1 the user materials, 2 the web.
    void searchMaterial(const QString &keyword, int mode);
    // The editor's selection searched with mode.
    void searchSelection(int mode);
    // The keyword box, searched in the collection of the current tab.
    void searchManual();
    // The selection only becomes the keyword.
    void recordSelectionKeyword();
    // The sentence library searched for the selection, shown in the suggestions.
    void searchSentences();

private:
    void showSentences(const QString &key, material::SmartResult result);
    void searchListCurrentChanged(const QModelIndex &current);
    void insertResult(bool title);
    void giveFrameRoom();
    QString selectionKeyword() const;
    // The library search from the texts in memory: the rows listed as the LIKE query lists them.
    void listFromTexts(const material::LibraryTable &texts, const QString &keyword);

    Widgets m_w;
    QPointer<MaterialBrowser> m_browser;
    material::SmartSearchState m_state;
    SmartSearchThreadWorker *m_worker = nullptr;
    QThread *m_thread = nullptr;
    QStandardItemModel *m_pageModel = nullptr;
    TreeNodeList m_pageRecords;
    material::SmartResult m_result;
    int m_page = 0;
    UrlOpener m_openUrl;
};

