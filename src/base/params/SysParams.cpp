#include "params/SysParams.h"

#include "core/WakeBell.h"
#include "core/AppPaths.h"
#include "core/Constants.h"
#include "core/Exception.h"
#include "log/Log.h"
#include "params/SettingsChecks.h"
#include "storage/DataAccess.h"
#include "storage/JsonSerializer.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QSaveFile>

#include <nettle/cbc.h>
#include <nettle/des.h>

SysParams g_SysParams;

namespace {

QMutex &snapshotMutex()
{
    static QMutex mutex;
    return mutex;
}

SysParams &snapshot()
{
    static SysParams s;
    return s;
}

// 56 key bits from the 7 key characters, spread over 8 bytes with odd parity.
void desKey(uint8_t key[DES_KEY_SIZE])
{
    const QByteArray text = Ink::paramKey().toLatin1().leftJustified(7, '\0', true);
    quint64 bits = 0;
    for (int i = 0; i < 7; ++i)
        bits = (bits << 8) | quint8(text.at(i));
    for (int i = 0; i < 8; ++i)
        key[i] = uint8_t(((bits >> (49 - 7 * i)) & 0x7f) << 1);
    des_fix_parity(DES_KEY_SIZE, key, key);
}

// The cipher of the stored password, keyed once per use.
des_ctx passwordCipher()
{
    uint8_t key[DES_KEY_SIZE];
    desKey(key);
    des_ctx ctx;
    des_set_key(&ctx, key);
    return ctx;
}

template <class T>
T clamp(T value, T low, T high)
{
    return value < low ? low : value > high ? high : value;
}

} // namespace

EditorParams::EditorParams()
    : smartSentenceWordIgnoreChars(defaultSmartSentenceWordIgnoreChars()), sensitiveWords(defaultSensitiveWords())
{
}

QString defaultSmartSentenceWordIgnoreChars()
{
    return QStringLiteral("，。＜＞．／？；：＇＇＂＂［］｛｝＼｜～！＠＃＄％＾＆＊（）－＝＿＋,.<>./?;:''[]{}\\|~!@#$%^&*()-=_+，《》。、？；：‘’“”【】{}、|~！# ￥%……&*（）-=——+ ，《》。、？；：‘’“”【】｛｝＼｜～！＠＃￥％……＆×（）－＝——＋，＜＞．／？；：＇＇＂＂［］｛｝＼｜～！＠＃ ＄％＾＆＊（）－＝＿＋,.<>./?;:''[]{}\\|~!@# $%^&*()-=_+");
}

// Any "/"-separated list works; this one covers the usual gambling, drug, violence, adult and
// abuse terms.
QString defaultSensitiveWords()
{
    return QStringLiteral("赌博/赌场/网络赌博/六合彩/博彩/毒品/吸毒/贩毒/冰毒/海洛因/大麻/摇头丸/鸦片/可卡因/迷药/迷幻药/枪支/弹药/炸药/爆炸物/雷管/走私/洗钱/诈骗/传销/高利贷/套路贷/假币/假证/办证/代孕/器官买卖/人口贩卖/拐卖/色情/淫秽/黄色网站/卖淫/嫖娼/援交/裸聊/偷拍/窃听/监听器/黑客攻击/木马程序/恐怖袭击/恐怖分子/极端主义/邪教/暴乱/暴动/分裂国家/颠覆政权/非法集会/血腥/虐杀/自杀方法/自残/他妈的/王八蛋/混蛋/傻逼/操你/porn/sex/drugs/gambling");
}

QString encipherPassword(const QString &plain)
{
    if (plain.isEmpty())
        return QString();
    QByteArray data = plain.toUtf8();
    // PKCS#7 padding to whole blocks.
    const int pad = DES_BLOCK_SIZE - data.size() % DES_BLOCK_SIZE;
    data.append(QByteArray(pad, char(pad)));
    des_ctx ctx = passwordCipher();
    uint8_t iv[DES_BLOCK_SIZE] = {0};
    QByteArray out(data.size(), '\0');
    cbc_encrypt(&ctx, reinterpret_cast<nettle_cipher_func *>(des_encrypt), DES_BLOCK_SIZE, iv, size_t(data.size()),
                reinterpret_cast<uint8_t *>(out.data()), reinterpret_cast<const uint8_t *>(data.constData()));
    return QString::fromLatin1(out.toHex());
}

QString decipherPassword(const QString &hex, bool *ok)
{
    if (ok)
        *ok = false;
    if (hex.isEmpty()) {
        if (ok)
            *ok = true;
        return QString();
    }
    const QByteArray data = QByteArray::fromHex(hex.toLatin1());
    if (data.isEmpty() || data.size() % DES_BLOCK_SIZE != 0 || data.toHex() != hex.toLatin1().toLower())
        return QString();
    des_ctx ctx = passwordCipher();
    uint8_t iv[DES_BLOCK_SIZE] = {0};
    QByteArray out(data.size(), '\0');
    cbc_decrypt(&ctx, reinterpret_cast<nettle_cipher_func *>(des_decrypt), DES_BLOCK_SIZE, iv, size_t(data.size()),
                reinterpret_cast<uint8_t *>(out.data()), reinterpret_cast<const uint8_t *>(data.constData()));
    const int pad = quint8(out.at(out.size() - 1));
    if (pad < 1 || pad > DES_BLOCK_SIZE)
        return QString();
    for (int i = out.size() - pad; i < out.size(); ++i) {
        if (quint8(out.at(i)) != pad)
            return QString();
    }
    out.chop(pad);
    if (ok)
        *ok = true;
    return QString::fromUtf8(out);
}

void clampSysParams(SysParams &p)
{
    p.saveBookInterval = clamp(p.saveBookInterval, 10, 24 * 3600);
    p.dailyWordTarget = clamp(p.dailyWordTarget, 0, settings::kDailyWordTargetMax);
    EditorParams &e = p.editorParams;
    e.defaultFontSize = clamp(e.defaultFontSize, 1, 400);
    e.insertLineCharCount = clamp(e.insertLineCharCount, 1, 1000);
    e.smartSentenceWordDelay = clamp(e.smartSentenceWordDelay, 0, 60000);
    e.smartSentenceWordPageCount = clamp(e.smartSentenceWordPageCount, 1, 1000);
    VisibilityParams &v = p.visibilityParams;
    v.uiFontSize = clamp(v.uiFontSize, 1, 400);
    LayoutInfo &l = v.layoutInfo;
    l.bookPanelWith = qMax(0, l.bookPanelWith);
    l.materialPanelWith = qMax(0, l.materialPanelWith);
    l.materialListWith = qMax(0, l.materialListWith);
    l.materialDetailHeight = qMax(0, l.materialDetailHeight);
    for (QList<int> *sizes : {&l.splitterMainSizes, &l.splitterMaterialSizes, &l.splitterMiddleSizes}) {
        for (int &s : *sizes)
            s = qMax(0, s);
    }
}

void registerSysParamsTypes()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    qRegisterMetaType<LayoutInfo>();
    qRegisterMetaType<VisibilityParams>();
    qRegisterMetaType<EditorParams>();
    qRegisterMetaType<LoginParams>();
    qRegisterMetaType<CloudSyncParams>();
    qRegisterMetaType<SysParams>();
    JsonSerializer::registerListConverters<int>();
}

void publishSysParams()
{
    {
        QMutexLocker lock(&snapshotMutex());
        snapshot() = g_SysParams;
    }
    wakebell::ring(); // sleeping workers weigh the new settings
}

SysParams sysParamsSnapshot()
{
    QMutexLocker lock(&snapshotMutex());
    return snapshot();
}

namespace {

// What this run knows about the stored parameters.
struct LoadState {
    bool loaded = false;          // read in this run: only then may they be written back
    QString rejectedText;         // a stored document that was rejected and is not yet kept aside
    bool rejectedPending = false;
    QString notice;               // for the author, given once
};

LoadState &loadState()
{
    static LoadState s;
    return s;
}

// Keeps the rejected document in the data folder under a name with the time, readable by the
// owner only, written whole before it gets its name. Returns the path, empty on failure.
QString keepRejectedText(QString *error)
{
    LoadState &state = loadState();
    const QString folder = AppPaths::current().appDataPath;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmsszzz"));
    QString name = QStringLiteral("SysParams.rejected.%1.txt").arg(stamp);
    for (int i = 1; QFileInfo::exists(folder + name); ++i)
        name = QStringLiteral("SysParams.rejected.%1-%2.txt").arg(stamp).arg(i);
    QSaveFile file(folder + name);
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(state.rejectedText.toUtf8()) < 0 || !file.commit()) {
        *error = file.errorString();
        return QString();
    }
    state.rejectedText.clear();
    state.rejectedPending = false;
    return QDir::toNativeSeparators(folder + name);
}

// Defaults stay in use; the stored text is kept aside before anything may overwrite it.
void rejectStoredText(const QString &text, const QString &why)
{
    LoadState &state = loadState();
    state.rejectedText = text;
    state.rejectedPending = true;
    QString error;
    const QString kept = keepRejectedText(&error);
    // The status bar is short: the file's name there, its full path and the reasons in the log.
    if (!kept.isEmpty()) {
        state.notice = QStringLiteral("参数无法读取，已改用默认值；原参数已另存为数据文件夹中的%1")
                           .arg(QFileInfo(kept).fileName());
        writeLog(QStringLiteral("err"),
                 QStringLiteral("参数读取失败（%1），已改用默认值；原参数已另存为%2").arg(why, kept));
    } else {
        state.notice = QStringLiteral("参数无法读取，已改用默认值；原参数未能另存，另存之前不会被覆盖");
        writeLog(QStringLiteral("err"),
                 QStringLiteral("参数读取失败（%1），已改用默认值；原参数未能另存（%2），另存之前不会被覆盖")
                     .arg(why, error));
    }
}

} // namespace

void forgetLoadedSysParams() { loadState() = LoadState(); }

QString takeSysParamsNotice()
{
    const QString notice = loadState().notice;
    loadState().notice.clear();
    return notice;
}

void loadSysParams()
{
    registerSysParamsTypes();
    LoadState &state = loadState();
    try {
        const QString text = getSysParam(QStringLiteral("SysParams"), QStringLiteral("{}"));
        JsonSerializer serializer;
        SysParams fresh;
        QString why;
        if (!serializer.deserialize(text.toUtf8(), fresh)) {
            why = serializer.errorString();
        } else {
            bool ok = true;
            fresh.loginParams.password = decipherPassword(fresh.loginParams.vPassword, &ok);
            if (!ok)
                why = QStringLiteral("密码无法解密");
        }
        if (why.isEmpty()) {
            clampSysParams(fresh);
            g_SysParams = fresh;
        } else {
            rejectStoredText(text, why);
        }
        state.loaded = true;
    } catch (const Exception &e) {
        // Not read, so never written back in this run.
        writeLog(QStringLiteral("err"), QStringLiteral("参数读取失败：") + e.message());
    }
    if (g_SysParams.autoBackupDbPath.isEmpty())
        g_SysParams.autoBackupDbPath = AppPaths::current().defaultBackupPath;
    publishSysParams();
}

void saveSysParams()
{
    registerSysParamsTypes();
    LoadState &state = loadState();
    // Parameters that were never read hold only defaults: writing them would wipe the stored ones.
    if (!state.loaded) {
        writeLog(QStringLiteral("err"), QStringLiteral("参数未曾读取，不保存"));
        return;
    }
    if (state.rejectedPending) {
        QString error;
        if (keepRejectedText(&error).isEmpty())
            throw Exception(QStringLiteral("保存参数失败：原参数无法读取，也未能另存（%1），为免丢失不予覆盖")
                                .arg(error));
    }
    LoginParams &login = g_SysParams.loginParams;
    // Without "保存密码" no password is kept, not even enciphered.
    login.vPassword = login.saveLogin ? encipherPassword(login.password) : QString();
    JsonSerializer serializer;
    const QByteArray json = serializer.serialize(g_SysParams, QJsonDocument::Indented);
    if (json.isEmpty())
        throw Exception(QStringLiteral("保存参数失败：") + serializer.errorString());
    setSysParam(QStringLiteral("SysParams"), QString::fromUtf8(json), true);
    publishSysParams();
}
