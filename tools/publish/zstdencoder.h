#pragma once

// Writes one zstd frame of a file, streamed: the compressed copy of a release's file, or, with
// the earlier bytes of the file as the frame's prefix, a patch from them. The parameters are
// those the updater decodes within its memory bound: a window of at most 2^25 bytes, a checksum
// in every frame (a patch decoded against other bytes fails on it), the strongest level with
// long-distance matching. zstd itself stays behind this header.

#include "config/fileform.h"

#include <QByteArrayView>
#include <QString>

#include <functional>

class QIODevice;

class ZstdEncoder
{
public:
    // The largest window a frame may ask of the updater (ZstdDecoder's bound). A patch needs its
    // base and the new file within the window: a file larger than this gets no patch.
    static constexpr int windowLog = 25;
    static constexpr qint64 windowSize = qint64(1) << windowLog;

    enum class Outcome { Written, TooLarge, Failed };

    struct Result {
        qint64 size = 0;
        Sha256Digest sha256{};
    };

    // Encodes the inputSize bytes of input into output as one frame, made against prefix when it
    // is not empty. Stops with TooLarge as soon as the frame would exceed limit bytes (a form no
    // smaller than what it stands in for is not worth serving). progress (when given) receives
    // the count of input bytes of each piece read. Failed, with error set, when input or output
    // fails or input does not hold inputSize bytes.
    static Outcome encode(QIODevice* input, qint64 inputSize, QIODevice* output,
                          QByteArrayView prefix, qint64 limit, Result* result, QString* error,
                          const std::function<void(qint64)>& progress = {});
};
