#include "release.h"

#include <QList>
#include <QRegularExpression>

#include <sodium.h>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

QString upgradeManifestPath()
{
    return u"/up/up.txt.sig"_s;
}

QByteArray releasePublicKey()
{
    // GARVINA_UPGRADE_PUBLIC_KEY is the base64 line of the key file named at configure time.
    return QByteArray::fromBase64(QByteArrayLiteral(GARVINA_UPGRADE_PUBLIC_KEY));
}

QString noReleaseKeyText()
{
    return u"本程序没有升级签名密钥,不能在线升级!"_s;
}

std::optional<ReleaseVersion> ReleaseVersion::parse(const QString &text)
{
    static const QRegularExpression shape(u"^([0-9]{1,9})\\.([0-9]{1,9})\\.([0-9]{1,9})$"_s);
    const QRegularExpressionMatch m = shape.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    return ReleaseVersion{m.captured(1).toLongLong(), m.captured(2).toLongLong(), m.captured(3).toLongLong()};
}

int ReleaseVersion::compare(const ReleaseVersion &other) const
{
    if (major != other.major)
        return major < other.major ? -1 : 1;
    if (minor != other.minor)
        return minor < other.minor ? -1 : 1;
    if (build != other.build)
        return build < other.build ? -1 : 1;
    return 0;
}

std::optional<ReleaseManifest> verifyReleaseManifest(const QByteArray &text, const QByteArray &publicKey,
                                                     QString &error)
{
    if (sodium_init() < 0) {
        error = u"无法初始化签名校验 (libsodium)"_s;
        return std::nullopt;
    }
    if (publicKey.size() != crypto_sign_PUBLICKEYBYTES) {
        error = u"升级公钥无效"_s;
        return std::nullopt;
    }
    const qsizetype at = text.lastIndexOf("\nsignature ");
    if (at < 0 || !text.endsWith('\n')) {
        error = u"升级清单没有签名"_s;
        return std::nullopt;
    }
    const QByteArray signedPart = text.left(at + 1);
    const QByteArray encoded = text.mid(at + 11).chopped(1);
    const auto decoded = QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != crypto_sign_BYTES) {
        error = u"升级清单的签名格式不对"_s;
        return std::nullopt;
    }
    if (crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(decoded.decoded.constData()),
                                    reinterpret_cast<const unsigned char *>(signedPart.constData()),
                                    static_cast<unsigned long long>(signedPart.size()),
                                    reinterpret_cast<const unsigned char *>(publicKey.constData())) != 0) {
        error = u"升级清单的签名无效"_s;
        return std::nullopt;
    }

    // Signed, so written by the publisher's script; the lines are still read strictly.
    const QList<QByteArray> lines = signedPart.chopped(1).split('\n');
    static const QList<QByteArray> keys{"garvinaserver-release ", "version ", "size ", "sha256 "};
    bool wellFormed = lines.size() == keys.size();
    for (qsizetype i = 0; wellFormed && i < keys.size(); ++i)
        wellFormed = lines.at(i).startsWith(keys.at(i));
    ReleaseManifest manifest;
    if (wellFormed) {
        wellFormed = lines.at(0) == "garvinaserver-release 1";
        manifest.version = QString::fromUtf8(lines.at(1).mid(keys.at(1).size()));
        bool sizeOk = false;
        manifest.size = lines.at(2).mid(keys.at(2).size()).toLongLong(&sizeOk);
        const QByteArray hex = lines.at(3).mid(keys.at(3).size());
        manifest.sha256 = QByteArray::fromHex(hex);
        wellFormed = wellFormed && sizeOk && manifest.size > 0 && hex.size() == 64 &&
                     manifest.sha256.size() == 32 && manifest.sha256.toHex() == hex.toLower() &&
                     ReleaseVersion::parse(manifest.version).has_value();
    }
    if (!wellFormed) {
        error = u"升级清单的格式不对"_s;
        return std::nullopt;
    }
    return manifest;
}

} // namespace garvina
