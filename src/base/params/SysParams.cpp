#include "params/SysParams.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "log/Log.h"
#include "storage/DataAccess.h"
#include "storage/JsonSerializer.h"

#include <QMutex>
#include <QMutexLocker>

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
    QMutexLocker lock(&snapshotMutex());
    snapshot() = g_SysParams;
}

SysParams sysParamsSnapshot()
{
    QMutexLocker lock(&snapshotMutex());
    return snapshot();
}

void loadSysParams()
{
    registerSysParamsTypes();
    QString text;
    try {
        text = getSysParam(QStringLiteral("SysParams"), QStringLiteral("{}"));
        JsonSerializer serializer;
        SysParams fresh;
        if (!serializer.deserialize(text.toUtf8(), fresh)) {
            writeLog(QStringLiteral("err"), QStringLiteral("参数读取失败（%1），使用默认值：%2")
                                                .arg(serializer.errorString(), text));
        } else {
            bool ok = true;
            fresh.loginParams.password = decipherPassword(fresh.loginParams.vPassword, &ok);
            if (!ok) {
                writeLog(QStringLiteral("err"), QStringLiteral("参数读取失败（密码无法解密），使用默认值"));
            } else {
                clampSysParams(fresh);
                g_SysParams = fresh;
            }
        }
    } catch (const Exception &e) {
        writeLog(QStringLiteral("err"), QStringLiteral("参数读取失败：") + e.message());
    }
    if (g_SysParams.autoBackupDbPath.isEmpty())
        g_SysParams.autoBackupDbPath = g_App.defaultBackupPath();
    publishSysParams();
}

void saveSysParams()
{
    registerSysParamsTypes();
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
