#pragma once

// Ed25519 keys and detached signatures of a configuration, and its SHA-256. The cryptography is
// OpenSSL's libcrypto; a build without it (a Windows build made without one) has none of it:
// available() is false there, every key is refused and no signature verifies, so a signed
// installation is never updated by a build that cannot check what it installs.
//
// Text forms: a public key is the base64 of its 32 raw bytes; a signature file holds the base64
// of the 64 raw signature bytes on one line; a private key file is PEM (PKCS #8).

#include <QByteArray>
#include <QString>

class Signature
{
public:
    enum class Check {
        Valid,
        Missing,       // no signature file
        Malformed,     // not one line of base64 of 64 bytes
        WrongKey,      // made by the key the configuration itself carries, not the trusted one
        DoesNotVerify, // not a signature of these bytes by the trusted key
        UntrustedKey,  // the trusted key itself is not a usable public key
        Unavailable,   // this build cannot verify signatures
    };

    static bool available();

    // A new key pair: the private key as PEM, the public key in its text form.
    static bool generateKey(QByteArray* privatePem, QString* publicKey, QString* error);
    // The public key (text form) of a PEM private key; empty with error when it is not one.
    static QString publicKeyOf(const QByteArray& privatePem, QString* error);
    // The signature file's content (base64 and a line end) of message by the PEM private key;
    // empty with error on failure.
    static QByteArray sign(const QByteArray& privatePem, const QByteArray& message, QString* error);
    // Whether text is the text form of an Ed25519 public key.
    static bool isPublicKey(const QString& text);
    // Checks the content of a signature file (null when the file is missing) over message against
    // the trusted public key. carriedKey, the key message itself names, only sharpens the reason
    // of a failure.
    static Check verify(const QString& trustedKey, const QByteArray& message,
                        const QByteArray& signatureFile, const QString& carriedKey = QString());
    // A short English reason for the log.
    static const char* reason(Check check);

    // Lower-case hexadecimal SHA-256 of data.
    static QByteArray sha256Hex(const QByteArray& data);
    // Whether text is 64 hexadecimal digits.
    static bool isSha256Hex(const QString& text);
    // Whether text is exactly length hexadecimal digits, in either case.
    static bool isHexDigest(const QString& text, int length);
};
