#pragma once

#include "book/TreeNodeInfo.h"

#include <QModelIndex>
#include <QObject>
#include <QPointer>
#include <QStandardItemModel>
#include <QString>

#include <functional>

class QAbstractItemView;
class QAction;
class QItemSelection;
class QListView;
class QPlainTextEdit;
class QSqlQuery;
class QTabWidget;
class QTextEdit;
class QTreeView;

// The material panel: the material and user-material folder trees, the material list of the
// selected folder, the read-only content pane with the keyword marked, and inserting material
// text into the chapter editor. It works on the window's widgets and owns the trees' and the
// list's records.
class MaterialBrowser final : public QObject
{
    Q_OBJECT
public:
    struct Widgets {
        QTabWidget *tabWidgetMaterial = nullptr;
        QTreeView *treeViewMaterial = nullptr;
        QTreeView *treeViewUserMaterial = nullptr;
        QListView *listViewMaterial = nullptr;
        QListView *listViewSearchMaterial = nullptr; // optional: the smart-search results
        QPlainTextEdit *plainTextEditMaterialContent = nullptr;
        QTextEdit *textEditor = nullptr;
        QAction *actionTextInsertSelectMaterial = nullptr;
        QAction *actionTextInsertAllMaterial = nullptr;
        // Off when the window's own on_action…_triggered slots call ours already.
        bool connectInsertActions = true;
    };
    // Inserts text into the chapter editor (atEnd: at the end of the document, else at the cursor).
    using InsertHandler = std::function<void(const QString &text, bool atEnd)>;

    // Views that have a QStandardItemModel keep it; the others get one owned by the browser.
    explicit MaterialBrowser(const Widgets &widgets, QObject *parent = nullptr);
    ~MaterialBrowser() override;

    static constexpr const char *insertNotice =
        "<font color='red'>温馨提示：只建议您把素材作为辅助的用途！</font>";
    static constexpr int insertNoticeMs = 5000;

    // Rebuilds the material ("M") or user-material ("U") tree; other kinds are not ours.
    void loadTree(const QString &kind, bool expand = false);
    // True while loadTree builds items: their itemChanged is no edit of the author's.
    bool isLoadingTree() const { return m_loadingTree; }
    void loadMaterialList(const TreeNodeInfo *folder);
    void loadUserMaterialList(const TreeNodeInfo *folder);
    // Appends the rows of an executed query to `model` and `records` (emptied first with clear).
    // Returns the number of rows added.
    int fillMaterialList(QSqlQuery &query, QStandardItemModel *model, TreeNodeList &records, bool clear);
    // Empties a list: the model first, then the records; the content record is let go if it
    // was one of them. Every owner of a material list frees its records through this.
    void releaseRecords(QStandardItemModel *model, TreeNodeList &records);

    void showMaterialContent(TreeNodeInfo *record);
    void markHighlightKeyword();
    // The editor insertion of the window; without one the browser inserts into textEditor itself.
    void setInsertHandler(InsertHandler handler) { m_insert = std::move(handler); }
    void insertEditorText(const QString &text, bool atEnd);

    // At the window's first show: the first material folder becomes current, and the first
    // user-material folder too when that tab is showing.
    void selectFirstNodes();
    // Makes a user-material folder current; its materials are listed only with withList (the
    // list is shared with the library tab, whose materials stay while that tab is showing).
    void setCurrentUserFolder(const QModelIndex &index, bool withList);
    bool isUserMaterialTabShowing() const;

    TreeNodeInfo *currentContentRecord() const { return m_contentRecord; }
    QString highlightKeyword() const { return m_highlightKeyword; }
    void setHighlightKeyword(const QString &keyword) { m_highlightKeyword = keyword; }
    QString manualKeyword() const { return m_manualKeyword; }
    void setManualKeyword(const QString &keyword) { m_manualKeyword = keyword; }
    QString smartKeyword() const { return m_smartKeyword; }
    void setSmartKeyword(const QString &keyword) { m_smartKeyword = keyword; }

    QStandardItemModel *materialTreeModel() const { return m_materialTreeModel; }
    QStandardItemModel *userMaterialTreeModel() const { return m_userMaterialTreeModel; }
    QStandardItemModel *materialListModel() const { return m_materialListModel; }
    TreeNodeList &materialTreeRecords() { return m_materialTreeRecords; }
    TreeNodeList &userMaterialTreeRecords() { return m_userMaterialTreeRecords; }
    TreeNodeList &materialListRecords() { return m_materialListRecords; }
    const Widgets &widgets() const { return m_w; }

signals:
    // The user-material buttons follow the selection: on a change of the user-material folder,
    // and 50 ms after a material became current.
    void userMaterialToolButtonStateRefresh();

public slots:
    void treeViewMaterialCurrentChanged(const QModelIndex &current, const QModelIndex &previous);
    void treeViewMaterialSelectionChanged(const QItemSelection &selected, const QItemSelection &deselected);
    void treeViewUserMaterialCurrentChanged(const QModelIndex &current, const QModelIndex &previous);
    void listViewMaterialCurrentChanged(const QModelIndex &current, const QModelIndex &previous);
    void listViewMaterialDoubleClicked(const QModelIndex &index);
    void on_plainTextEditMaterialContent_selectionChanged();
    void on_actionTextInsertSelectMaterial_triggered();
    void on_actionTextInsertAllMaterial_triggered();
    void refreshMaterialContentToolButtonState();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QStandardItemModel *modelFor(QAbstractItemView *view);
    void loadList(const QString &sql);
    void insertFromPane(const QString &text);

    Widgets m_w;
    QPointer<QStandardItemModel> m_materialTreeModel;
    QPointer<QStandardItemModel> m_userMaterialTreeModel;
    QPointer<QStandardItemModel> m_materialListModel;
    TreeNodeList m_materialTreeRecords;
    TreeNodeList m_userMaterialTreeRecords;
    TreeNodeList m_materialListRecords;
    TreeNodeInfo *m_contentRecord = nullptr;
    QString m_highlightKeyword;
    QString m_manualKeyword;
    QString m_smartKeyword;
    InsertHandler m_insert;
    bool m_loadingTree = false;
    bool m_keepList = false;
};
