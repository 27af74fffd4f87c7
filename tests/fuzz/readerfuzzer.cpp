// Fuzzes the configuration reader with one UpdateCfg.xml. Besides crashes and sanitizer reports
// it stops when the record breaks its invariants, when sharing strings with another record
// changes what is read, or when the publisher's writer does not give back the same record.

#include "fuzzsupport.h"

#include "config/configwriter.h"

#include <QBuffer>
#include <algorithm>

namespace
{

const QByteArray installedDefault =
    "<update><info version=\"1.0.2\" main=\"app.exe\" server=\"http://h/r\"/>"
    "<file path=\"/app.exe\" md5=\"0cc175b9c0f1b6a831c399e269772661\" size=\"1\" exec=\"1\"/>"
    "<file path=\"/lib/core.dll\" md5=\"92eb5ffee6ae2fec3ad71c777531578f\"/>"
    "<file path=\"/user.ini\" ignore=\"1\"/></update>";

// What a written document can carry of a record: the ignored paths in path order, and only
// attributes that say something.
ConfigInfo writable(ConfigInfo info)
{
    std::stable_sort(info.ignoreList.begin(), info.ignoreList.end());
    for (auto it = info.fileAttributes.begin(); it != info.fileAttributes.end();) {
        if (it->size < 0 && !it->executable && it->sha256.isEmpty())
            it = info.fileAttributes.erase(it);
        else
            ++it;
    }
    return info;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = fuzz::bytesOf(data, size);
    const int boxesBefore = fuzz::boxCount();
    const ConfigInfo info = fuzz::readDocument(input);
    const bool wellFormed = fuzz::boxCount() == boxesBefore;
    fuzz::checkRecord(info);

    // The updater reads the new configuration sharing strings with the installed one.
    static const ConfigInfo installed = fuzz::readDocument(installedDefault);
    fuzz::check(fuzz::sameRecord(fuzz::readDocument(input, &installed), info),
                "sharing strings with another record changes the record");
    fuzz::check(fuzz::sameRecord(fuzz::readDocument(input, &info), info),
                "sharing strings with itself changes the record");
    fuzz::check(fuzz::boxCount() - boxesBefore == (wellFormed ? 0 : 3),
                "the same bytes read well-formed once and malformed another time");

    // Written by the publisher's writer and read again: the same record, and a well-formed file.
    QByteArray written;
    {
        QBuffer buffer(&written);
        buffer.open(QIODevice::WriteOnly);
        fuzz::check(ConfigWriter().write(&buffer, info), "the writer failed");
    }
    const int boxesBeforeReread = fuzz::boxCount();
    const ConfigInfo reread = fuzz::readDocument(written);
    fuzz::check(fuzz::boxCount() == boxesBeforeReread, "the written document is malformed",
                QString::fromUtf8(written));
    fuzz::check(fuzz::sameRecord(writable(reread), writable(info)),
                "the written document reads back differently", QString::fromUtf8(written));
    return 0;
}
