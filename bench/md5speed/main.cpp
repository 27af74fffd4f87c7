// MD5 throughput of the two implementations the updater could use, on the same buffer, taking
// turns: Qt's QCryptographicHash and OpenSSL's libcrypto (EVP). Prints one line per round:
// "qt SECONDS openssl SECONDS" for hashing MIB mebibytes in pieces of PIECE_KIB kibibytes.
//
//   md5speed [MIB [ROUNDS [PIECE_KIB]]]

#include <QByteArray>
#include <QCryptographicHash>
#include <QElapsedTimer>

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    const qint64 mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const int pieceKib = argc > 3 ? std::atoi(argv[3]) : 64;
    QByteArray piece(pieceKib * 1024, Qt::Uninitialized);
    for (int i = 0; i < piece.size(); ++i)
        piece[i] = char((i * 2654435761u) >> 13);
    const qint64 pieces = mib * 1024 / pieceKib;

    QByteArray sink;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        QCryptographicHash qt(QCryptographicHash::Md5);
        for (qint64 i = 0; i < pieces; ++i)
            qt.addData(piece);
        sink += qt.result();
        const double qtSeconds = timer.nsecsElapsed() / 1e9;

        timer.restart();
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
        for (qint64 i = 0; i < pieces; ++i)
            EVP_DigestUpdate(ctx, piece.constData(), size_t(piece.size()));
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx, digest, &length);
        EVP_MD_CTX_free(ctx);
        sink += QByteArray(reinterpret_cast<const char*>(digest), int(length));
        const double sslSeconds = timer.nsecsElapsed() / 1e9;

        std::printf("qt %.3f openssl %.3f\n", qtSeconds, sslSeconds);
    }
    // The digests must agree, or one of the two measured something else.
    for (int round = 0; round < rounds; ++round) {
        if (sink.mid(round * 32, 16) != sink.mid(round * 32 + 16, 16)) {
            std::fprintf(stderr, "digests differ\n");
            return 1;
        }
    }
    return 0;
}
