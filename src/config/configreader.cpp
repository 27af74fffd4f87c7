#include "config/configreader.h"

#include "log/logquoted.h"
#include "platform/messagepresenter.h"

#include <QDebug>
#include <QFile>
#include <QXmlStreamReader>

#include <algorithm>

const QString configFileName = QStringLiteral("UpdateCfg.xml");

namespace
{
// A byte count: decimal digits only (no sign, no blanks), small enough for qint64. -1 otherwise.
qint64 parseSize(QStringView text)
{
    if (text.isEmpty() || text.size() > 18)
        return -1;
    qint64 value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}

// Whether every character of a value may stand in an XML document. A declared encoding such as
// UTF-7 can decode to control characters or broken surrogate pairs that the parser lets through;
// such a text could never be written back as XML, nor be a sound path or digest.
bool allowedInXml(QStringView text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c)) {
            if (i + 1 == text.size() || !QChar::isLowSurrogate(text[i + 1].unicode()))
                return false;
            ++i;
        } else if (QChar::isLowSurrogate(c) || c == 0xFFFE || c == 0xFFFF ||
                   (c < 0x20 && c != 0x09 && c != 0x0A && c != 0x0D)) {
            return false;
        }
    }
    return true;
}

// Reads one form element (zst or patch) of a file into forms. An empty string when it is sound;
// otherwise what is wrong with it. Unknown attributes are left for later releases to use.
QString readForm(QStringView name, const QXmlStreamAttributes& attrs, FileFormList* forms)
{
    FileForm form;
    form.kind = name == QLatin1String("zst") ? FileForm::Kind::Compressed : FileForm::Kind::Patch;
    form.size = parseSize(attrs.value(QLatin1String("size")));
    if (form.size < 0)
        return QStringLiteral("size is not a byte count");
    if (!parseSha256Hex(attrs.value(QLatin1String("sha256")), &form.sha256))
        return QStringLiteral("sha256 is not 64 hexadecimal digits");
    if (form.kind == FileForm::Kind::Patch &&
        !parseSha256Hex(attrs.value(QLatin1String("base")), &form.base))
        return QStringLiteral("base is not 64 hexadecimal digits");
    // Two records of one form would leave the updater to guess which of them the server holds.
    for (const FileForm& other : *forms) {
        if (other.kind == form.kind &&
            (form.kind == FileForm::Kind::Compressed || other.base == form.base))
            return form.kind == FileForm::Kind::Compressed
                       ? QStringLiteral("listed twice")
                       : QStringLiteral("base %1 listed twice").arg(sha256Hex(form.base));
    }
    forms->append(form);
    return QString();
}
} // namespace

ConfigInfo ConfigReader::read(const QString& path, const ConfigInfo* sharedWith) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        ConfigInfo info;
        info.buildFileList();
        return info;
    }
    return read(&file, sharedWith);
}

ConfigInfo ConfigReader::read(QIODevice* device, const ConfigInfo* sharedWith,
                              bool* wellFormed) const
{
    ConfigInfo info;
    // Configurations list their files in path order as a rule: the entry after the previous
    // match is tried before a search.
    FileMap::const_iterator shared;
    if (sharedWith)
        shared = sharedWith->fileMap.cbegin();
    // Managed elements are taken in document order and put in path order at the end, and so are
    // the attributes of those that carry any. While the paths come in order (the rule) nothing
    // more is needed; after that, the place of each carrying element among the managed ones is
    // noted, so that a path keeps the attributes of its last element only.
    QList<qint32> carriedBy;
    qint32 managed = 0;
    bool inOrder = true;
    QString lastPath;
    // The managed file element being read: its attributes are taken at its end, once its form
    // elements (children that older readers skip) are in.
    struct Pending {
        bool active = false;
        int depth = 0;
        QString path;
        FileAttributes attributes;
        bool carried = false;
    } pending;
    const auto finishFile = [&] {
        if (!pending.active)
            return;
        pending.active = false;
        if (pending.carried || !pending.attributes.forms.isEmpty()) {
            info.fileAttributes.append(pending.path, pending.attributes);
            if (!inOrder)
                carriedBy.append(managed);
        }
        pending.attributes = FileAttributes();
        ++managed;
    };
    {
        QXmlStreamReader reader(device);
        int depth = 0;
        while (!reader.atEnd()) {
            const QXmlStreamReader::TokenType token = reader.readNext();
            if (token == QXmlStreamReader::EndElement) {
                if (pending.active && depth == pending.depth)
                    finishFile();
                --depth;
                continue;
            }
            if (token != QXmlStreamReader::StartElement)
                continue;
            ++depth;
            const QStringView name = reader.name();
            const QXmlStreamAttributes attrs = reader.attributes();
            if (!std::all_of(attrs.cbegin(), attrs.cend(), [](const QXmlStreamAttribute& a) {
                    return allowedInXml(a.value());
                })) {
                reader.raiseError(QStringLiteral("character not allowed in XML"));
                break;
            }
            if (pending.active && depth == pending.depth + 1 &&
                (name == QLatin1String("zst") || name == QLatin1String("patch"))) {
                const QString error = readForm(name, attrs, &pending.attributes.forms);
                if (!error.isEmpty()) {
                    reader.raiseError(
                        QStringLiteral("%1 of \"%2\": %3").arg(name, pending.path, error));
                    break;
                }
                continue;
            }
            if (name == QLatin1String("info")) {
                info.version = attrs.value(QLatin1String("version")).toString();
                info.main = attrs.value(QLatin1String("main")).toString();
                info.server = attrs.value(QLatin1String("server")).toString();
                info.publicKey = attrs.value(QLatin1String("publickey")).toString();
                // Read like ignore: a non-zero decimal integer means yes.
                info.prune = attrs.value(QLatin1String("prune")).toInt() != 0;
            }
            if (name == QLatin1String("file")) {
                finishFile();
                const QStringView pathText = attrs.value(QLatin1String("path"));
                QString filePath;
                if (sharedWith) {
                    const FileMap& map = sharedWith->fileMap;
                    if (shared == map.cend() || shared.key() != pathText)
                        shared = map.find(pathText);
                    if (shared != map.cend()) {
                        filePath = shared.key();
                        ++shared;
                    }
                }
                if (filePath.isNull())
                    filePath = pathText.toString();
                bool ignored = false;
                if (attrs.hasAttribute(QLatin1String("ignore"))) {
                    // Not a decimal integer counts as 0: the file stays managed.
                    ignored = attrs.value(QLatin1String("ignore")).toString().toInt() != 0;
                }
                if (ignored) {
                    info.ignoreList.append(filePath);
                    continue;
                }
                info.fileMap.append(filePath, attrs.value(QLatin1String("md5")));
                if (inOrder && managed > 0 && !(lastPath < filePath)) {
                    inOrder = false;
                    // Until now one element per path, in path order in both.
                    qint32 element = 0;
                    auto attributes = info.fileAttributes.cbegin();
                    for (auto it = info.fileMap.cbegin(); attributes != info.fileAttributes.cend();
                         ++it, ++element) {
                        if (attributes.key() == it.key()) {
                            carriedBy.append(element);
                            ++attributes;
                        }
                    }
                }
                lastPath = filePath;
                // Like the md5, the attributes of the last managed element for a path hold.
                FileAttributes& attributes = pending.attributes;
                bool carried = false;
                if (attrs.hasAttribute(QLatin1String("size"))) {
                    const QStringView text = attrs.value(QLatin1String("size"));
                    attributes.size = parseSize(text);
                    // An unreadable size is dropped, not fatal: it only narrows the bound every
                    // download has anyway, and the md5 check still judges the content.
                    if (attributes.size < 0)
                        qDebug() << "read xml: size ignored:" << logQuoted(filePath)
                                 << logQuoted(text.toString());
                    else
                        carried = true;
                }
                if (attrs.hasAttribute(QLatin1String("exec"))) {
                    // Read like ignore: a non-zero decimal integer means yes.
                    attributes.executable = attrs.value(QLatin1String("exec")).toInt() != 0;
                    carried = true;
                }
                if (attrs.hasAttribute(QLatin1String("sha256"))) {
                    attributes.sha256 = attrs.value(QLatin1String("sha256")).toString();
                    carried = true;
                }
                pending.active = true;
                pending.depth = depth;
                pending.path = filePath;
                pending.carried = carried;
            }
        }
        finishFile();
        if (wellFormed)
            *wellFormed = !reader.hasError();
        if (reader.hasError()) {
            qDebug() << "read xml error:" << logQuoted(reader.errorString());
            // The box is shown by the GUI thread; this thread waits until it is closed.
            MessagePresenter::present(QStringLiteral("read config file error"));
        }
    }
    QList<qint32> order;
    info.fileMap.finishAppending(carriedBy.isEmpty() ? nullptr : &order);
    if (!carriedBy.isEmpty()) {
        // carriedBy is in element order; each path keeps the element that came last.
        QList<qint32> places(carriedBy.size(), -1);
        qint32 place = 0;
        for (const qint32 element : std::as_const(order)) {
            const auto found = std::lower_bound(carriedBy.cbegin(), carriedBy.cend(), element);
            if (found != carriedBy.cend() && *found == element)
                places[found - carriedBy.cbegin()] = place++;
        }
        // Gone before the file list is made, which would otherwise add to the peak.
        carriedBy = QList<qint32>();
        order = QList<qint32>();
        info.fileAttributes.arrange(std::move(places));
    }
    info.buildFileList();
    return info;
}
