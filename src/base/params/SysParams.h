#pragma once

#include <QColor>
#include <QList>
#include <QMetaType>
#include <QString>

// The user's settings: one tree of value records, stored as JSON under the key "SysParams".
// Property names are the JSON keys; declaration order is the order of the keys.

class LayoutInfo
{
    Q_GADGET
    Q_PROPERTY(bool maximized MEMBER maximized)
    Q_PROPERTY(bool fullScreen MEMBER fullScreen)
    Q_PROPERTY(bool mainMenu MEMBER mainMenu)
    Q_PROPERTY(QList<int> splitterMainSizes MEMBER splitterMainSizes)
    Q_PROPERTY(QList<int> splitterMaterialSizes MEMBER splitterMaterialSizes)
    Q_PROPERTY(QList<int> splitterMiddleSizes MEMBER splitterMiddleSizes)
    Q_PROPERTY(int bookPanelWith MEMBER bookPanelWith)
    Q_PROPERTY(int materialPanelWith MEMBER materialPanelWith)
    Q_PROPERTY(int materialListWith MEMBER materialListWith)
    Q_PROPERTY(int materialDetailHeight MEMBER materialDetailHeight)
public:
    bool maximized = false;
    bool fullScreen = false;
    bool mainMenu = true;
    QList<int> splitterMainSizes;
    QList<int> splitterMaterialSizes;
    QList<int> splitterMiddleSizes;
    int bookPanelWith = 0;
    int materialPanelWith = 0;
    int materialListWith = 0;
    int materialDetailHeight = 0;
};

inline bool operator==(const LayoutInfo &a, const LayoutInfo &b)
{
    return a.maximized == b.maximized && a.fullScreen == b.fullScreen && a.mainMenu == b.mainMenu && a.splitterMainSizes == b.splitterMainSizes && a.splitterMaterialSizes == b.splitterMaterialSizes && a.splitterMiddleSizes == b.splitterMiddleSizes && a.bookPanelWith == b.bookPanelWith && a.materialPanelWith == b.materialPanelWith && a.materialListWith == b.materialListWith && a.materialDetailHeight == b.materialDetailHeight;
}
inline bool operator!=(const LayoutInfo &a, const LayoutInfo &b) { return !(a == b); }

class VisibilityParams
{
    Q_GADGET
    Q_PROPERTY(bool autoHideMaterialList MEMBER autoHideMaterialList)
    Q_PROPERTY(bool autoHideMaterialDetail MEMBER autoHideMaterialDetail)
    Q_PROPERTY(bool autoSaveLayout MEMBER autoSaveLayout)
    Q_PROPERTY(LayoutInfo layoutInfo MEMBER layoutInfo)
    Q_PROPERTY(QString skinName MEMBER skinName)
    Q_PROPERTY(bool bookSortByModified MEMBER bookSortByModified)
    Q_PROPERTY(QString uiFontName MEMBER uiFontName)
    Q_PROPERTY(int uiFontSize MEMBER uiFontSize)
public:
    bool autoHideMaterialList = false;
    bool autoHideMaterialDetail = false;
    bool autoSaveLayout = true;
    LayoutInfo layoutInfo;
    QString skinName = QStringLiteral("Fusion");
    bool bookSortByModified = false;
    QString uiFontName;
    int uiFontSize = 9;
};

inline bool operator==(const VisibilityParams &a, const VisibilityParams &b)
{
    return a.autoHideMaterialList == b.autoHideMaterialList && a.autoHideMaterialDetail == b.autoHideMaterialDetail && a.autoSaveLayout == b.autoSaveLayout && a.layoutInfo == b.layoutInfo && a.skinName == b.skinName && a.bookSortByModified == b.bookSortByModified && a.uiFontName == b.uiFontName && a.uiFontSize == b.uiFontSize;
}
inline bool operator!=(const VisibilityParams &a, const VisibilityParams &b) { return !(a == b); }

class EditorParams
{
    Q_GADGET
    Q_PROPERTY(QString defaultFontName MEMBER defaultFontName)
    Q_PROPERTY(int defaultFontSize MEMBER defaultFontSize)
    Q_PROPERTY(QColor defaultFontColor MEMBER defaultFontColor)
    Q_PROPERTY(QColor defaultBackColor MEMBER defaultBackColor)
    Q_PROPERTY(bool autoAlignAddBlankLine MEMBER autoAlignAddBlankLine)
    Q_PROPERTY(QString insertLineChar MEMBER insertLineChar)
    Q_PROPERTY(int insertLineCharCount MEMBER insertLineCharCount)
    Q_PROPERTY(bool smartSentenceWord MEMBER smartSentenceWord)
    Q_PROPERTY(bool smartSentenceWordIncMaterial MEMBER smartSentenceWordIncMaterial)
    Q_PROPERTY(bool smartSentenceWordIncMemo MEMBER smartSentenceWordIncMemo)
    Q_PROPERTY(int smartSentenceWordDelay MEMBER smartSentenceWordDelay)
    Q_PROPERTY(QString smartSentenceWordIgnoreChars MEMBER smartSentenceWordIgnoreChars)
    Q_PROPERTY(int smartSentenceWordPageCount MEMBER smartSentenceWordPageCount)
    Q_PROPERTY(QString sensitiveWords MEMBER sensitiveWords)
    Q_PROPERTY(bool checkSensitiveWordsOnRead MEMBER checkSensitiveWordsOnRead)
    Q_PROPERTY(bool alertOnWordCount MEMBER alertOnWordCount)
    Q_PROPERTY(QString alertOnWordCountList MEMBER alertOnWordCountList)
public:
    EditorParams();

    QString defaultFontName = QStringLiteral("宋体");
    int defaultFontSize = 12;
    QColor defaultFontColor = QColor(Qt::black);
    QColor defaultBackColor = QColor(Qt::white);
    bool autoAlignAddBlankLine = false;
    QString insertLineChar = QStringLiteral("-");
    int insertLineCharCount = 50;
    bool smartSentenceWord = true;
    bool smartSentenceWordIncMaterial = true;
    bool smartSentenceWordIncMemo = true;
    int smartSentenceWordDelay = 650;
    QString smartSentenceWordIgnoreChars;
    int smartSentenceWordPageCount = 10;
    QString sensitiveWords;
    bool checkSensitiveWordsOnRead = false;
    bool alertOnWordCount = true;
    QString alertOnWordCountList = QStringLiteral("2000\r\n3000\r\n4000\r\n5000\r\n6000");
};

inline bool operator==(const EditorParams &a, const EditorParams &b)
{
    return a.defaultFontName == b.defaultFontName && a.defaultFontSize == b.defaultFontSize && a.defaultFontColor == b.defaultFontColor && a.defaultBackColor == b.defaultBackColor && a.autoAlignAddBlankLine == b.autoAlignAddBlankLine && a.insertLineChar == b.insertLineChar && a.insertLineCharCount == b.insertLineCharCount && a.smartSentenceWord == b.smartSentenceWord && a.smartSentenceWordIncMaterial == b.smartSentenceWordIncMaterial && a.smartSentenceWordIncMemo == b.smartSentenceWordIncMemo && a.smartSentenceWordDelay == b.smartSentenceWordDelay && a.smartSentenceWordIgnoreChars == b.smartSentenceWordIgnoreChars && a.smartSentenceWordPageCount == b.smartSentenceWordPageCount && a.sensitiveWords == b.sensitiveWords && a.checkSensitiveWordsOnRead == b.checkSensitiveWordsOnRead && a.alertOnWordCount == b.alertOnWordCount && a.alertOnWordCountList == b.alertOnWordCountList;
}
inline bool operator!=(const EditorParams &a, const EditorParams &b) { return !(a == b); }

class LoginParams
{
    Q_GADGET
    Q_PROPERTY(QString userID MEMBER userID)
    Q_PROPERTY(QString vPassword MEMBER vPassword)
    Q_PROPERTY(bool saveLogin MEMBER saveLogin)
    Q_PROPERTY(bool autoLogin MEMBER autoLogin)
public:
    QString userID;
    QString vPassword;
    bool saveLogin = false;
    bool autoLogin = false;
    QString password; // the plain password while the program runs; never written as JSON
};

inline bool operator==(const LoginParams &a, const LoginParams &b)
{
    return a.userID == b.userID && a.vPassword == b.vPassword && a.saveLogin == b.saveLogin && a.autoLogin == b.autoLogin && a.password == b.password;
}
inline bool operator!=(const LoginParams &a, const LoginParams &b) { return !(a == b); }

class CloudSyncParams
{
    Q_GADGET
    Q_PROPERTY(bool active MEMBER active)
    Q_PROPERTY(bool syncAtStartUp MEMBER syncAtStartUp)
    Q_PROPERTY(bool syncAtExit MEMBER syncAtExit)
    Q_PROPERTY(bool syncAtThread MEMBER syncAtThread)
public:
    bool active = false;
    bool syncAtStartUp = false;
    bool syncAtExit = false;
    bool syncAtThread = false;
};

inline bool operator==(const CloudSyncParams &a, const CloudSyncParams &b)
{
    return a.active == b.active && a.syncAtStartUp == b.syncAtStartUp && a.syncAtExit == b.syncAtExit && a.syncAtThread == b.syncAtThread;
}
inline bool operator!=(const CloudSyncParams &a, const CloudSyncParams &b) { return !(a == b); }

class SysParams
{
    Q_GADGET
    Q_PROPERTY(VisibilityParams visibilityParams MEMBER visibilityParams)
    Q_PROPERTY(EditorParams editorParams MEMBER editorParams)
    Q_PROPERTY(LoginParams loginParams MEMBER loginParams)
    Q_PROPERTY(CloudSyncParams cloudSyncParams MEMBER cloudSyncParams)
    Q_PROPERTY(bool autoSaveBook MEMBER autoSaveBook)
    Q_PROPERTY(int saveBookInterval MEMBER saveBookInterval)
    Q_PROPERTY(bool autoBackupDb MEMBER autoBackupDb)
    Q_PROPERTY(QString autoBackupDbPath MEMBER autoBackupDbPath)
    Q_PROPERTY(bool autoShrinkDb MEMBER autoShrinkDb)
    Q_PROPERTY(bool autoUpgrade MEMBER autoUpgrade)
    Q_PROPERTY(int dailyWordTarget MEMBER dailyWordTarget)
public:
    VisibilityParams visibilityParams;
    EditorParams editorParams;
    LoginParams loginParams;
    CloudSyncParams cloudSyncParams;
    bool autoSaveBook = true;
    int saveBookInterval = 180;
    bool autoBackupDb = true;
    QString autoBackupDbPath;
    bool autoShrinkDb = false;
    bool autoUpgrade = true;
    // Words a day the author aims at, counted like the writing statistics; 0 = no target.
    int dailyWordTarget = 0;
};

inline bool operator==(const SysParams &a, const SysParams &b)
{
    return a.visibilityParams == b.visibilityParams && a.editorParams == b.editorParams && a.loginParams == b.loginParams && a.cloudSyncParams == b.cloudSyncParams && a.autoSaveBook == b.autoSaveBook && a.saveBookInterval == b.saveBookInterval && a.autoBackupDb == b.autoBackupDb && a.autoBackupDbPath == b.autoBackupDbPath && a.autoShrinkDb == b.autoShrinkDb && a.autoUpgrade == b.autoUpgrade && a.dailyWordTarget == b.dailyWordTarget;
}
inline bool operator!=(const SysParams &a, const SysParams &b) { return !(a == b); }

Q_DECLARE_METATYPE(LayoutInfo)
Q_DECLARE_METATYPE(VisibilityParams)
Q_DECLARE_METATYPE(EditorParams)
Q_DECLARE_METATYPE(LoginParams)
Q_DECLARE_METATYPE(CloudSyncParams)
Q_DECLARE_METATYPE(SysParams)

// Written only on the GUI thread. Worker threads read sysParamsSnapshot() instead.
extern SysParams g_SysParams;

// Reads "SysParams" into g_SysParams. A stored document that cannot be used leaves the defaults;
// its text is first kept in the data folder ("SysParams.rejected.<time>.txt"), logged and noted.
void loadSysParams();
// The notice about rejected stored parameters, given once; empty when there is none.
QString takeSysParamsNotice();
// Stores g_SysParams as indented JSON under "SysParams" in a transaction of its own. Does nothing
// when the parameters were not read in this run; refuses (throws) while a rejected document
// could not be kept aside.
void saveSysParams();
// Start of a run: nothing read yet.
void forgetLoadedSysParams();
// Copy of the parameters as last loaded or saved; safe on any thread.
SysParams sysParamsSnapshot();
// Publishes g_SysParams for sysParamsSnapshot() (called by load and save).
void publishSysParams();

// Brings loaded numbers into sane ranges (intervals, page counts, sizes).
void clampSysParams(SysParams &params);
// Registers the metatypes and list converters the parameter tree needs.
void registerSysParamsTypes();

QString defaultSmartSentenceWordIgnoreChars();
QString defaultSensitiveWords();

// Password storage: UTF-8, DES under the parameter key, hexadecimal text.
QString encipherPassword(const QString &plain);
QString decipherPassword(const QString &hex, bool *ok = nullptr);
