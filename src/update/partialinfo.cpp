#include "update/partialinfo.h"

#include <QList>
#include <QUrl>

namespace
{

const QByteArray header = "updater-partial 1";
const char* const names[] = {"url", "md5", "sha256", "validator"};

QByteArray field(const char* name, const QByteArray& value)
{
    return QByteArray(name) + ' ' + value.toPercentEncoding() + '\n';
}

} // namespace

QByteArray PartialInfo::toBytes() const
{
    return header + '\n' + field(names[0], url.toUtf8()) + field(names[1], md5.toUtf8()) +
           field(names[2], sha256.toUtf8()) + field(names[3], validator);
}

bool PartialInfo::fromBytes(const QByteArray& bytes, PartialInfo* info)
{
    if (bytes.size() > maxBytes || !bytes.endsWith('\n'))
        return false;
    const QList<QByteArray> lines = bytes.left(bytes.size() - 1).split('\n');
    if (lines.size() != 5 || lines.at(0) != header)
        return false;
    QByteArray values[4];
    for (int i = 0; i < 4; ++i) {
        const QByteArray& line = lines.at(i + 1);
        const QByteArray prefix = QByteArray(names[i]) + ' ';
        if (!line.startsWith(prefix))
            return false;
        values[i] = QByteArray::fromPercentEncoding(line.mid(prefix.size()));
    }
    if (values[0].isEmpty() || values[3].isEmpty())
        return false;
    // The validator goes back into a request header as it stands.
    for (char c : values[3]) {
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    info->url = QString::fromUtf8(values[0]);
    info->md5 = QString::fromUtf8(values[1]);
    info->sha256 = QString::fromUtf8(values[2]);
    info->validator = values[3];
    return true;
}

bool PartialInfo::sameFile(const PartialInfo& other) const
{
    return url == other.url && md5 == other.md5 && sha256 == other.sha256;
}
