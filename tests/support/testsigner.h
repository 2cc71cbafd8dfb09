#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

#include <sodium.h>

namespace garvina::test {

/// \brief A publisher's key pair made for one test, and the release manifests it signs.
class TestSigner
{
public:
    TestSigner()
    {
        if (sodium_init() < 0)
            qFatal("libsodium does not initialise");
        m_public.resize(crypto_sign_PUBLICKEYBYTES);
        m_secret.resize(crypto_sign_SECRETKEYBYTES);
        crypto_sign_keypair(reinterpret_cast<unsigned char *>(m_public.data()),
                            reinterpret_cast<unsigned char *>(m_secret.data()));
    }

    QByteArray publicKey() const { return m_public; }

    /// The manifest lines for \a version and \a package, unsigned.
    static QByteArray body(const QString &version, const QByteArray &package)
    {
        return "garvinaserver-release 1\nversion " + version.toUtf8() + "\nsize " +
               QByteArray::number(package.size()) + "\nsha256 " +
               QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex() + "\n";
    }
    /// \a text followed by its signature line.
    QByteArray sign(const QByteArray &text) const
    {
        QByteArray signature(crypto_sign_BYTES, '\0');
        crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                             reinterpret_cast<const unsigned char *>(text.constData()),
                             static_cast<unsigned long long>(text.size()),
                             reinterpret_cast<const unsigned char *>(m_secret.constData()));
        return text + "signature " + signature.toBase64() + "\n";
    }
    QByteArray manifest(const QString &version, const QByteArray &package) const
    {
        return sign(body(version, package));
    }

private:
    QByteArray m_public;
    QByteArray m_secret;
};

} // namespace garvina::test
