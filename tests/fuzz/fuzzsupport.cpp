#include "fuzzsupport.h"

#include "config/configreader.h"
#include "platform/messagepresenter.h"

#include <QBuffer>
#include <cstdio>
#include <cstdlib>

namespace fuzz
{
namespace
{

int boxes = 0;

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

// The reader reports a malformed document through the presenter; here nothing waits on it.
class CountingPresenter : public MessagePresenter
{
public:
    void show(const QString&) override { ++boxes; }
};

} // namespace

void setUp()
{
    qInstallMessageHandler(quiet);
    static CountingPresenter presenter;
    MessagePresenter::install(&presenter);
}

int boxCount()
{
    return boxes;
}

void check(bool condition, const char* what, const QString& detail)
{
    if (condition)
        return;
    std::fprintf(stderr, "broken: %s %s\n", what, qUtf8Printable(detail));
    std::abort();
}

QByteArray bytesOf(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

ConfigInfo readDocument(const QByteArray& bytes, const ConfigInfo* sharedWith)
{
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    return ConfigReader().read(&buffer, sharedWith);
}

void checkRecord(const ConfigInfo& info)
{
    check(info.fileList == info.fileMap.keys(), "file list is not the map's keys in order");
    for (auto it = info.fileAttributes.cbegin(); it != info.fileAttributes.cend(); ++it) {
        check(info.fileMap.contains(it.key()), "attributes for an unmanaged path", it.key());
        check(it->size >= -1, "negative size", it.key());
    }
}

bool sameRecord(const ConfigInfo& a, const ConfigInfo& b)
{
    return a.version == b.version && a.main == b.main && a.server == b.server &&
           a.publicKey == b.publicKey && a.ignoreList == b.ignoreList && a.fileMap == b.fileMap &&
           a.fileList == b.fileList && a.fileAttributes == b.fileAttributes &&
           a.prune == b.prune && a.droppedPaths == b.droppedPaths;
}

QList<QByteArray> sections(const QByteArray& input)
{
    QList<QByteArray> parts;
    qsizetype start = 0;
    for (;;) {
        const qsizetype split = input.indexOf("\n====\n", start);
        if (split < 0)
            break;
        parts.append(input.mid(start, split - start));
        start = split + 6;
    }
    parts.append(input.mid(start));
    return parts;
}

} // namespace fuzz
