#include "config/signature.h"

#include <QCryptographicHash>

#ifdef UPDATER_HAVE_LIBCRYPTO
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#endif

namespace
{
constexpr int publicKeyBytes = 32;
constexpr int signatureBytes = 64;

// Strict base64: the standard alphabet with padding, nothing else.
bool decodeBase64(const QByteArray& text, QByteArray* out)
{
    const auto result =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return false;
    // Non-canonical encodings (stray bits in the last character) are refused as well.
    if (result.decoded.toBase64() != text)
        return false;
    *out = result.decoded;
    return true;
}

bool rawPublicKey(const QString& text, QByteArray* raw)
{
    return !text.isEmpty() && decodeBase64(text.toLatin1(), raw) && raw->size() == publicKeyBytes;
}

#ifdef UPDATER_HAVE_LIBCRYPTO
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

Key publicKeyFrom(const QByteArray& raw)
{
    return Key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                           reinterpret_cast<const unsigned char*>(raw.constData()),
                                           size_t(raw.size())));
}

Key privateKeyFrom(const QByteArray& pem, QString* error)
{
    Bio bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
        if (error)
            *error = QStringLiteral("not an Ed25519 private key in PEM form");
        return Key();
    }
    return key;
}

QString publicText(EVP_PKEY* key)
{
    unsigned char raw[publicKeyBytes];
    size_t length = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key, raw, &length) != 1 || length != sizeof raw)
        return QString();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(raw), int(length)).toBase64());
}

bool verifies(const QByteArray& rawKey, const QByteArray& message, const QByteArray& signature)
{
    const Key key = publicKeyFrom(rawKey);
    const Context context(EVP_MD_CTX_new());
    if (!key || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(),
                            reinterpret_cast<const unsigned char*>(signature.constData()),
                            size_t(signature.size()),
                            reinterpret_cast<const unsigned char*>(message.constData()),
                            size_t(message.size())) == 1;
}
#endif

#ifndef UPDATER_HAVE_LIBCRYPTO
QString unavailableText()
{
    return QStringLiteral("this build has no Ed25519 (built without libcrypto)");
}
#endif
} // namespace

bool Signature::available()
{
#ifndef UPDATER_HAVE_LIBCRYPTO
    return false;
#else
    return true;
#endif
}

bool Signature::generateKey(QByteArray* privatePem, QString* publicKey, QString* error)
{
#ifndef UPDATER_HAVE_LIBCRYPTO
    Q_UNUSED(privatePem);
    Q_UNUSED(publicKey);
    *error = unavailableText();
    return false;
#else
    const Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    Bio bio(BIO_new(BIO_s_mem()));
    if (!key || !bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1) {
        *error = QStringLiteral("cannot make a key");
        return false;
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    *privatePem = QByteArray(data, int(length));
    *publicKey = publicText(key.get());
    return !publicKey->isEmpty();
#endif
}

QString Signature::publicKeyOf(const QByteArray& privatePem, QString* error)
{
#ifndef UPDATER_HAVE_LIBCRYPTO
    Q_UNUSED(privatePem);
    *error = unavailableText();
    return QString();
#else
    const Key key = privateKeyFrom(privatePem, error);
    return key ? publicText(key.get()) : QString();
#endif
}

QByteArray Signature::sign(const QByteArray& privatePem, const QByteArray& message, QString* error)
{
#ifndef UPDATER_HAVE_LIBCRYPTO
    Q_UNUSED(privatePem);
    Q_UNUSED(message);
    *error = unavailableText();
    return QByteArray();
#else
    const Key key = privateKeyFrom(privatePem, error);
    if (!key)
        return QByteArray();
    const Context context(EVP_MD_CTX_new());
    unsigned char raw[signatureBytes];
    size_t length = sizeof raw;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), raw, &length,
                       reinterpret_cast<const unsigned char*>(message.constData()),
                       size_t(message.size())) != 1 ||
        length != sizeof raw) {
        *error = QStringLiteral("cannot sign");
        return QByteArray();
    }
    return QByteArray(reinterpret_cast<const char*>(raw), int(length)).toBase64() + '\n';
#endif
}

bool Signature::isPublicKey(const QString& text)
{
    QByteArray raw;
    if (!available() || !rawPublicKey(text, &raw))
        return false;
#ifndef UPDATER_HAVE_LIBCRYPTO
    return false;
#else
    return bool(publicKeyFrom(raw));
#endif
}

Signature::Check Signature::verify(const QString& trustedKey, const QByteArray& message,
                                   const QByteArray& signatureFile, const QString& carriedKey)
{
    if (!available())
        return Check::Unavailable;
    QByteArray trusted;
    if (!rawPublicKey(trustedKey, &trusted) || !isPublicKey(trustedKey))
        return Check::UntrustedKey;
    if (signatureFile.isNull())
        return Check::Missing;
    // One line: the base64 text and at most one line end.
    QByteArray text = signatureFile;
    if (text.endsWith("\r\n"))
        text.chop(2);
    else if (text.endsWith('\n'))
        text.chop(1);
    QByteArray signature;
    if (!decodeBase64(text, &signature) || signature.size() != signatureBytes)
        return Check::Malformed;
#ifndef UPDATER_HAVE_LIBCRYPTO
    Q_UNUSED(message);
    Q_UNUSED(carriedKey);
    return Check::Unavailable;
#else
    if (verifies(trusted, message, signature))
        return Check::Valid;
    QByteArray carried;
    if (carriedKey != trustedKey && rawPublicKey(carriedKey, &carried) &&
        verifies(carried, message, signature))
        return Check::WrongKey;
    return Check::DoesNotVerify;
#endif
}

const char* Signature::reason(Check check)
{
    switch (check) {
    case Check::Valid:
        return "valid";
    case Check::Missing:
        return "missing";
    case Check::Malformed:
        return "malformed";
    case Check::WrongKey:
        return "wrong key";
    case Check::DoesNotVerify:
        return "does not verify";
    case Check::UntrustedKey:
        return "installed key malformed";
    case Check::Unavailable:
        return "cannot verify in this build";
    }
    return "unknown";
}

QByteArray Signature::sha256Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

bool Signature::isSha256Hex(const QString& text)
{
    return isHexDigest(text, 64);
}

bool Signature::isHexDigest(const QString& text, int length)
{
    if (text.size() != length)
        return false;
    for (const QChar c : text) {
        const bool hex = (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                         (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
                         (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
        if (!hex)
            return false;
    }
    return true;
}
