#pragma once

// Decodes one zstd frame as it streams in: the bytes of a compressed copy or of a patch arrive
// in pieces through feed() and leave decoded through the sink, never more than the decoder's
// window in memory. A patch is decoded with the bytes it applies to as the frame's prefix; the
// caller maps them (the installed copy) and keeps them mapped until the decoder is done. zstd
// itself stays behind this header.

#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

class ZstdDecoder
{
public:
    // Receives each piece of decoded bytes in order; false stops the decoding (Error::Sink).
    using Sink = std::function<bool(const char* data, qint64 size)>;

    enum class Error {
        None,
        // Not a zstd frame, or a frame that contradicts itself.
        Corrupt,
        // The decoded bytes do not match the frame's checksum: corrupt data, or a patch decoded
        // against other bytes than those it was made from.
        Checksum,
        // finish() came before the frame's end.
        Truncated,
        // Bytes after the frame's end: a form is one frame.
        TrailingData,
        // The frame needs a larger window than the decoder may hold.
        WindowTooLarge,
        // The sink refused the decoded bytes.
        Sink,
        // Memory for the window could not be had.
        Memory,
    };

    // The bound of the window the publisher writes for (32 MiB): with it the whole decoder stays
    // well below the updater's memory bound.
    static constexpr int defaultWindowLog = 25;

    // The smallest window bound that admits every frame the publisher makes of decodedSize bytes
    // (its frames carry their size, and their window is no larger than that): a decoder made
    // with it holds at most about 2^windowLogFor(size) bytes, so that the memory of several
    // decoders at once can be known in advance from the files' sizes.
    static int windowLogFor(qint64 decodedSize);

    // A frame whose window exceeds 2^windowLogMax bytes is refused.
    explicit ZstdDecoder(Sink sink, int windowLogMax = defaultWindowLog);
    ~ZstdDecoder();
    ZstdDecoder(const ZstdDecoder&) = delete;
    ZstdDecoder& operator=(const ZstdDecoder&) = delete;

    // The bytes the frame was made against (a patch's base); before the first feed() only. They
    // are not copied: they must stay valid until the decoder is destroyed.
    void setPrefix(const char* data, qint64 size);
    // Decodes what it can of data and hands it to the sink. False once anything failed; the
    // decoder then takes nothing more.
    bool feed(const char* data, qint64 size);
    // Called when the input has ended: true when the frame ended exactly there.
    bool finish();

    Error error() const;
    // What went wrong, in English, for the log; empty while nothing has.
    QString errorString() const;
    // Decoded bytes handed to the sink so far.
    qint64 decodedBytes() const;

private:
    struct State;
    bool fail(Error error, const QString& detail = QString());

    std::unique_ptr<State> d;
};
