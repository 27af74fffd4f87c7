#include "formwriter.h"

#include "releasepublisher.h"
#include "zstdencoder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

#include <algorithm>

namespace
{

// A file name longer than this cannot be created on the file systems a release is served from.
constexpr qsizetype nameLimit = 255;

struct EarlierNotes {
    int missing = 0;
    int changed = 0;
    QString firstChanged;
};

} // namespace

FormWriter::FormWriter(const QString& releaseDir)
    : m_releaseDir(QFileInfo(releaseDir).absoluteFilePath())
{
    m_formsDir = m_releaseDir + QLatin1Char('/') + folderName();
}

QString FormWriter::folderName()
{
    return formsFolder.mid(1);
}

QString FormWriter::markerName()
{
    return QStringLiteral(".written-by-updater-publish");
}

bool FormWriter::isOwnFolder(const QString& releaseDir)
{
    const QString dir = releaseDir + QLatin1Char('/') + folderName();
    const QFileInfo folder(dir);
    const QFileInfo marker(dir + QLatin1Char('/') + markerName());
    return folder.isDir() && !folder.isSymLink() && marker.isFile() && !marker.isSymLink();
}

bool FormWriter::removeOwnFolder(const QString& releaseDir, QString* error)
{
    if (!isOwnFolder(releaseDir))
        return true;
    const QString dir = releaseDir + QLatin1Char('/') + folderName();
    if (QDir(dir).removeRecursively())
        return true;
    *error = QStringLiteral("cannot remove %1").arg(quotedName(dir));
    return false;
}

void FormWriter::report(qint64 bytes, bool fileDone)
{
    m_bytesDone += bytes;
    if (fileDone)
        ++m_jobsDone;
    if (!m_progress)
        return;
    HashProgress progress;
    progress.phase = "compressing";
    progress.items = "forms";
    progress.filesDone = m_jobsDone;
    progress.fileCount = m_jobCount;
    progress.bytesDone = m_bytesDone;
    progress.totalBytes = m_totalBytes;
    m_progress(progress);
}

bool FormWriter::prepareFolder()
{
    // The release's walk has refused every file inside a folder of that name that is not this
    // tool's own: what may be there is this tool's earlier output or empty folders.
    if (!QDir().mkpath(m_formsDir)) {
        m_error = QStringLiteral("cannot create %1").arg(quotedName(m_formsDir));
        return false;
    }
    const QString marker = m_formsDir + QLatin1Char('/') + markerName();
    if (QFileInfo(marker).isFile())
        return true;
    QSaveFile file(marker);
    const QByteArray text = "Compressed copies and patches of this release's files, written by "
                            "updater-publish. Serve this folder with the release.\n";
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        m_error = QStringLiteral("cannot write %1: %2").arg(quotedName(marker), file.errorString());
        return false;
    }
    return true;
}

bool FormWriter::write(const QList<Source>& files, const QList<Earlier>& earlier,
                       QMap<QString, QList<FileForm>>* forms)
{
    forms->clear();
    m_error.clear();
    m_warnings.clear();
    m_written.clear();
    m_bytesDone = 0;
    m_totalBytes = 0;
    m_jobsDone = 0;
    if (!prepareFolder())
        return false;

    // Every form to try, a file's compressed copy before its patches (a patch must beat it).
    QList<Job> jobs;
    for (int i = 0; i < files.size(); ++i) {
        const Source& source = files.at(i);
        jobs.append({i, -1, QString(), source.size});
        if (source.size > ZstdEncoder::windowSize)
            continue;
        for (int e = 0; e < earlier.size(); ++e) {
            const ConfigInfo& config = earlier.at(e).config;
            const auto listed = config.fileMap.constFind(source.path);
            if (listed == config.fileMap.cend())
                continue;
            // An installation of that release already has these bytes: nothing is fetched.
            const QString oldSha256 = config.fileAttributes.value(source.path).sha256;
            const bool same = !oldSha256.isEmpty()
                                  ? oldSha256.compare(source.sha256, Qt::CaseInsensitive) == 0
                                  : listed.value() == source.md5;
            if (!same)
                jobs.append({i, e, earlier.at(e).folder + source.path, source.size});
        }
    }
    m_jobCount = int(jobs.size());
    for (const Job& job : std::as_const(jobs))
        m_totalBytes += job.inputSize;

    QList<EarlierNotes> notes(earlier.size());
    for (const Job& job : std::as_const(jobs)) {
        const Source& source = files.at(job.source);
        QList<FileForm>& list = (*forms)[source.path];
        const qint64 before = m_bytesDone;
        const auto done = [&] {
            report(before + job.inputSize - m_bytesDone, true);
            return true;
        };
        FileForm form;
        bool written = false;
        if (job.earlier < 0) {
            form.kind = FileForm::Kind::Compressed;
            if (!encode(job, source, formPath(source.path, form), {}, source.size - 1, &form,
                        &written))
                return false;
            if (written)
                list.append(form);
            done();
            continue;
        }

        EarlierNotes& note = notes[job.earlier];
        const QFileInfo info(job.basePath);
        if (!info.exists() || info.isSymLink() || !info.isFile()) {
            ++note.missing;
            done();
            continue;
        }
        if (info.size() > ZstdEncoder::windowSize) {
            done();
            continue;
        }
        QFile baseFile(job.basePath);
        if (!baseFile.open(QIODevice::ReadOnly)) {
            ++note.missing;
            done();
            continue;
        }
        const qint64 baseSize = baseFile.size();
        const uchar* mapped = baseSize > 0 ? baseFile.map(0, baseSize) : nullptr;
        if (baseSize > 0 && !mapped) {
            m_error = QStringLiteral("cannot map %1: %2")
                          .arg(quotedName(job.basePath), baseFile.errorString());
            return false;
        }
        const QByteArrayView prefix(reinterpret_cast<const char*>(mapped), baseSize);
        // The base is named by the digest of the bytes the patch is made from; they must be the
        // bytes that release installed, or no installation would ever match it.
        const QByteArray baseSha256 = QCryptographicHash::hash(prefix, QCryptographicHash::Sha256);
        std::copy(baseSha256.cbegin(), baseSha256.cend(), form.base.begin());
        const ConfigInfo& config = earlier.at(job.earlier).config;
        const QString listedSha256 = config.fileAttributes.value(source.path).sha256;
        Sha256Digest listed;
        bool matches = false;
        if (parseSha256Hex(listedSha256, &listed))
            matches = listed == form.base;
        else
            matches = config.fileMap.value(source.path) ==
                      QString::fromLatin1(
                          QCryptographicHash::hash(prefix, QCryptographicHash::Md5).toHex());
        if (!matches) {
            if (note.changed++ == 0)
                note.firstChanged = source.path;
            done();
            continue;
        }
        form.kind = FileForm::Kind::Patch;
        const bool known = std::any_of(list.cbegin(), list.cend(), [&form](const FileForm& f) {
            return f.kind == FileForm::Kind::Patch && f.base == form.base;
        });
        if (!known) {
            const FileForm* compressed = nullptr;
            for (const FileForm& f : std::as_const(list)) {
                if (f.kind == FileForm::Kind::Compressed)
                    compressed = &f;
            }
            const qint64 limit = (compressed ? compressed->size : source.size) - 1;
            if (!encode(job, source, formPath(source.path, form), prefix, limit, &form, &written))
                return false;
            if (written)
                list.append(form);
        }
        done();
    }
    for (auto it = forms->begin(); it != forms->end();) {
        if (it->isEmpty())
            it = forms->erase(it);
        else
            ++it;
    }
    for (int e = 0; e < earlier.size(); ++e) {
        const EarlierNotes& note = notes.at(e);
        const QString release = quotedName(earlier.at(e).configPath);
        if (note.missing > 0)
            m_warnings.append(QStringLiteral("%1 changed files of %2 are not in its folder %3: no "
                                             "patches from them")
                                  .arg(note.missing)
                                  .arg(release, quotedName(earlier.at(e).folder)));
        if (note.changed > 0)
            m_warnings.append(QStringLiteral("%1 files in the folder of %2 differ from what it "
                                             "lists (the first: %3): no patches from them")
                                  .arg(note.changed)
                                  .arg(release, quotedName(note.firstChanged.mid(1))));
    }
    return removeStale();
}

bool FormWriter::encode(const Job& job, const Source& source, const QString& relative,
                        QByteArrayView prefix, qint64 limit, FileForm* form, bool* written)
{
    *written = false;
    if (limit < 0)
        return true;
    const QString target = m_releaseDir + relative;
    const QFileInfo targetInfo(target);
    if (targetInfo.fileName().toUtf8().size() > nameLimit) {
        m_warnings.append(QStringLiteral("%1 gets no %2: its name would be too long")
                              .arg(quotedName(source.path.mid(1)),
                                   prefix.isNull() ? QStringLiteral("compressed copy")
                                                   : QStringLiteral("patch")));
        return true;
    }
    if (!QDir().mkpath(targetInfo.absolutePath())) {
        m_error = QStringLiteral("cannot create %1").arg(quotedName(targetInfo.absolutePath()));
        return false;
    }
    QFile in(source.absolutePath);
    if (!in.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot read %1: %2")
                      .arg(quotedName(source.path.mid(1)), in.errorString());
        return false;
    }
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly)) {
        m_error = QStringLiteral("cannot write %1: %2").arg(quotedName(target), out.errorString());
        return false;
    }
    ZstdEncoder::Result result;
    QString error;
    const ZstdEncoder::Outcome outcome =
        ZstdEncoder::encode(&in, job.inputSize, &out, prefix, limit, &result, &error,
                            [this](qint64 bytes) { report(bytes, false); });
    if (outcome == ZstdEncoder::Outcome::Failed) {
        out.cancelWriting();
        m_error = QStringLiteral("cannot write %1 from %2: %3")
                      .arg(quotedName(target), quotedName(source.path.mid(1)), error);
        return false;
    }
    if (outcome == ZstdEncoder::Outcome::TooLarge) {
        out.cancelWriting();
        return true;
    }
    if (!out.commit()) {
        m_error = QStringLiteral("cannot write %1: %2").arg(quotedName(target), out.errorString());
        return false;
    }
    form->size = result.size;
    form->sha256 = result.sha256;
    m_written.append(relative.mid(formsFolder.size() + 1));
    *written = true;
    return true;
}

bool FormWriter::removeStale()
{
    // What an earlier run wrote for files or bases this one has not: never listed, so only
    // taking room on the server. Also temporary files a killed run left.
    const QSet<QString> kept(m_written.cbegin(), m_written.cend());
    const QString prefix = m_formsDir + QLatin1Char('/');
    QStringList folders;
    QDirIterator it(m_formsDir,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = info.absoluteFilePath().mid(prefix.size());
        if (info.isDir() && !info.isSymLink()) {
            folders.append(info.absoluteFilePath());
            continue;
        }
        if (relative == markerName() || kept.contains(relative))
            continue;
        if (!QFile::remove(info.absoluteFilePath())) {
            m_error = QStringLiteral("cannot remove the stale form %1")
                          .arg(quotedName(info.absoluteFilePath()));
            return false;
        }
    }
    // Deepest first; a folder that still holds forms stays.
    std::sort(folders.begin(), folders.end(),
              [](const QString& a, const QString& b) { return a.size() > b.size(); });
    for (const QString& folder : std::as_const(folders))
        QDir().rmdir(folder);
    return true;
}
