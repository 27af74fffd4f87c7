#include "releasepublisher.h"

#include "previousreleases.h"

#include "config/configdiff.h"
#include "config/configreader.h"
#include "config/configwriter.h"
#include "config/pathcheck.h"
#include "config/signature.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringDecoder>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace
{

constexpr qint64 chunkSize = 1 << 20;

// Invalid for a pattern that is empty once its leading and trailing "/" are gone.
QRegularExpression globToRegularExpression(QString pattern)
{
    while (pattern.startsWith(QLatin1Char('/')))
        pattern.remove(0, 1);
    while (pattern.endsWith(QLatin1Char('/')))
        pattern.chop(1);
    if (pattern.isEmpty())
        return QRegularExpression(QStringLiteral("("));
    return QRegularExpression(QRegularExpression::wildcardToRegularExpression(pattern));
}

bool hasControlCharacter(const QString& text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

// Shows raw name bytes: ASCII as it stands, every other byte as \xNN.
QString escapedBytes(const QByteArray& bytes)
{
    QString shown;
    for (const char byte : bytes) {
        const uchar c = uchar(byte);
        if (c >= 0x20 && c < 0x7f)
            shown += QLatin1Char(char(c));
        else
            shown += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return shown;
}

#ifdef Q_OS_UNIX
// The first name below dir (relative, "/"-separated, raw bytes) that is not valid UTF-8, or an
// empty array. Qt's directory listing leaves such names out without a word, so they are looked
// for in the raw listing. Links are not followed.
QByteArray firstNameNotUtf8(const QByteArray& dir, const QByteArray& relative = QByteArray())
{
    DIR* handle = opendir(dir.constData());
    if (!handle)
        return QByteArray(); // an unreadable folder is reported by the walk
    QList<QByteArray> folders;
    QByteArray found;
    while (const dirent* entry = readdir(handle)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray path = relative.isEmpty() ? name : relative + '/' + name;
        QStringDecoder strict(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = strict(name);
        if (strict.hasError()) {
            found = path;
            break;
        }
        struct stat info;
        if (lstat((dir + '/' + name).constData(), &info) == 0 && S_ISDIR(info.st_mode))
            folders.append(name);
    }
    closedir(handle);
    if (!found.isEmpty())
        return found;
    for (const QByteArray& folder : std::as_const(folders)) {
        found = firstNameNotUtf8(dir + '/' + folder,
                                 relative.isEmpty() ? folder : relative + '/' + folder);
        if (!found.isEmpty())
            return found;
    }
    return QByteArray();
}
#endif

} // namespace

QString quotedName(const QString& name)
{
    QString result = QStringLiteral("\"");
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control)
            result += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            result += c;
    }
    return result + QLatin1Char('"');
}

ReleasePublisher::ReleasePublisher(PublishOptions options) : m_options(std::move(options))
{
    m_opener = [](const QString& filePath) -> std::unique_ptr<QIODevice> {
        auto file = std::make_unique<QFile>(filePath);
        file->open(QIODevice::ReadOnly);
        return file;
    };
}

QString ReleasePublisher::outputPath() const
{
    if (!m_options.outputPath.isEmpty())
        return m_options.outputPath;
    return QDir(m_options.releaseDir).filePath(configFileName);
}

bool ReleasePublisher::fail(const QString& message)
{
    m_error = message;
    return false;
}

bool ReleasePublisher::prepare()
{
    m_prepared = false;
    m_error.clear();
    m_warnings.clear();
    m_files.clear();
    m_config = ConfigInfo();
    m_ignoredMd5.clear();
    m_ignoredAttributes.clear();
    // Cheap checks first, so that a mistake is reported before hours of hashing.
    if (!checkOptions() || !checkSigningKey() || !checkPrevious() || !walk() || !checkMain() ||
        !hashFiles())
        return false;

    m_config.version = canonicalVersion(m_options.version);
    m_config.main = m_options.main;
    m_config.server = m_options.server;
    m_config.publicKey = m_publicKey;
    for (auto it = m_files.cbegin(); it != m_files.cend(); ++it) {
        FileAttributes attributes;
        attributes.size = it->size;
        attributes.executable = it->executable;
        attributes.sha256 = it->sha256;
        if (it->ignored) {
            m_config.ignoreList.append(it.key());
            m_ignoredMd5.insert(it.key(), it->md5);
            m_ignoredAttributes.insert(it.key(), attributes);
        } else {
            m_config.fileMap.insert(it.key(), it->md5);
            m_config.fileAttributes.insert(it.key(), attributes);
        }
    }
    m_config.buildFileList();
    m_prepared = true;
    return true;
}

bool ReleasePublisher::write()
{
    if (!m_prepared)
        return fail(QStringLiteral("nothing to write: the release has not been prepared"));
    // The forms are on disk before a configuration lists them.
    if (!writeForms())
        return false;
    ConfigWriter writer;
    writer.setIgnoredMd5(m_ignoredMd5);
    writer.setIgnoredAttributes(m_ignoredAttributes);
    QString reason;
    QByteArray written;
    if (!writer.writeFile(outputPath(), m_config, &reason, &written))
        return fail(QStringLiteral("cannot write %1: %2").arg(quotedName(outputPath()), reason));

    const QString signaturePath = signatureFilePath();
    if (m_signingKey.isEmpty()) {
        // A signature of an earlier configuration beside this one would only be mistaken for its.
        if (QFileInfo::exists(signaturePath)) {
            if (!QFile::remove(signaturePath))
                return fail(QStringLiteral("cannot remove the stale signature %1")
                                .arg(quotedName(signaturePath)));
            m_warnings.append(QStringLiteral("removed the signature %1 of an earlier "
                                             "configuration: this one is not signed")
                                  .arg(quotedName(signaturePath)));
        }
        return true;
    }
    const QByteArray signature = Signature::sign(m_signingKey, written, &reason);
    if (signature.isEmpty())
        return fail(QStringLiteral("cannot sign %1: %2").arg(quotedName(outputPath()), reason));
    QSaveFile file(signaturePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(signature) != signature.size() ||
        !file.commit())
        return fail(QStringLiteral("cannot write %1: %2")
                        .arg(quotedName(signaturePath), file.errorString()));
    return true;
}

QString ReleasePublisher::signatureFilePath() const
{
    return outputPath() + QStringLiteral(".sig");
}

bool ReleasePublisher::writeForms()
{
    const QString root = QFileInfo(m_options.releaseDir).absoluteFilePath();
    if (!m_options.writeForms) {
        if (!FormWriter::isOwnFolder(root))
            return true;
        QString error;
        if (!FormWriter::removeOwnFolder(root, &error))
            return fail(error);
        m_warnings.append(QStringLiteral("removed the compressed copies and patches of an earlier "
                                         "run (%1/): this release lists none")
                              .arg(FormWriter::folderName()));
        return true;
    }
    QList<FormWriter::Source> sources;
    for (auto it = m_files.cbegin(); it != m_files.cend(); ++it) {
        // Ignored files are never fetched.
        if (!it->ignored)
            sources.append({it.key(), it->absolutePath, it->size, it->md5, it->sha256});
    }
    FormWriter writer(root);
    writer.setProgressFunction(m_progress);
    QMap<QString, QList<FileForm>> forms;
    const bool written = writer.write(sources, m_earlier, &forms);
    m_warnings.append(writer.warnings());
    if (!written)
        return fail(writer.errorString());
    for (auto it = m_config.fileAttributes.begin(); it != m_config.fileAttributes.end(); ++it)
        it->forms = forms.value(it.key());
    return true;
}

bool ReleasePublisher::checkSigningKey()
{
    m_signingKey.clear();
    m_publicKey.clear();
    if (m_options.signKeyPath.isEmpty()) {
        if (!m_options.nextKeyPath.isEmpty())
            return fail(QStringLiteral("a key is handed on only by a signed release: give "
                                       "--sign-key with the key installations trust now"));
        return true;
    }
    QFile file(m_options.signKeyPath);
    // A key file is a few hundred bytes; anything much larger is not one.
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read key %1: %2")
                        .arg(quotedName(m_options.signKeyPath), file.errorString()));
    const QByteArray pem = file.read(64 * 1024);
    QString reason;
    const QString publicKey = Signature::publicKeyOf(pem, &reason);
    if (publicKey.isEmpty())
        return fail(QStringLiteral("key %1 cannot sign: %2")
                        .arg(quotedName(m_options.signKeyPath), reason));
    m_signingKey = pem;
    m_publicKey = publicKey;
    if (m_options.nextKeyPath.isEmpty())
        return true;
    // The key handed on is read from its private key file: a release can only hand on a key
    // whose owner can sign the next one.
    QFile next(m_options.nextKeyPath);
    if (!next.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read key %1: %2")
                        .arg(quotedName(m_options.nextKeyPath), next.errorString()));
    m_publicKey = Signature::publicKeyOf(next.read(64 * 1024), &reason);
    if (m_publicKey.isEmpty())
        return fail(QStringLiteral("key %1 cannot be handed on: %2")
                        .arg(quotedName(m_options.nextKeyPath), reason));
    return true;
}

bool ReleasePublisher::generateKey(const QString& keyPath, QString* publicKey, QString* error)
{
    QByteArray pem;
    if (!Signature::generateKey(&pem, publicKey, error))
        return false;
        // Created here and only here, readable by its owner alone: an existing file is never
        // overwritten, and the key never sits in a file others could read.
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(keyPath);
    const int fd =
        ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = QStringLiteral("cannot create %1: %2")
                     .arg(quotedName(keyPath), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // The mode asked for is narrowed by the umask, never widened; fchmod makes it exact.
    ::fchmod(fd, 0600);
    QFile file;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        ::unlink(name.constData());
        *error = QStringLiteral("cannot write %1").arg(quotedName(keyPath));
        return false;
    }
#else
    QFile file(keyPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        *error =
            QStringLiteral("cannot create %1: %2").arg(quotedName(keyPath), file.errorString());
        return false;
    }
#endif
    if (file.write(pem) != pem.size() || !file.flush()) {
        *error = QStringLiteral("cannot write %1: %2").arg(quotedName(keyPath), file.errorString());
        file.close();
        QFile::remove(keyPath);
        return false;
    }
    file.close();
    return true;
}

bool ReleasePublisher::checkOptions()
{
    const QFileInfo dir(m_options.releaseDir);
    if (m_options.releaseDir.isEmpty())
        return fail(QStringLiteral("no release folder given"));
    if (!dir.exists())
        return fail(QStringLiteral("release folder %1 does not exist")
                        .arg(quotedName(m_options.releaseDir)));
    if (!dir.isDir())
        return fail(QStringLiteral("%1 is not a folder").arg(quotedName(m_options.releaseDir)));

    if (!parseVersion(m_options.version))
        return fail(QStringLiteral("version %1 cannot be read by the updater: use numbers "
                                   "separated by dots, such as 1.0.4")
                        .arg(quotedName(m_options.version)));

    if (m_options.main.isEmpty())
        return fail(QStringLiteral("no main executable given (--main)"));

    // The updater appends each path, which begins with "/", to the server.
    while (m_options.server.endsWith(QLatin1Char('/')))
        m_options.server.chop(1);
    const QUrl url(m_options.server);
    const QString scheme = url.scheme();
    if (hasControlCharacter(m_options.server) || !url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return fail(QStringLiteral("server %1 is not an http:// or https:// address")
                        .arg(quotedName(m_options.server)));
    // A path appended after a query or a fragment is no path; a user name would travel in
    // every request and stand in the configuration for anyone to read.
    if (url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty())
        return fail(QStringLiteral("server %1 must not carry a query (\"?\"), a fragment "
                                   "(\"#\") or a user name: the updater appends each file's "
                                   "path to it")
                        .arg(quotedName(m_options.server)));

    for (const QString& pattern : m_options.ignorePatterns) {
        if (!globToRegularExpression(pattern).isValid())
            return fail(
                QStringLiteral("--ignore %1 is not a usable pattern").arg(quotedName(pattern)));
    }

    const QFileInfo output(outputPath());
    if (output.isDir())
        return fail(QStringLiteral("output %1 is a folder").arg(quotedName(outputPath())));
    if (!output.absoluteDir().exists())
        return fail(
            QStringLiteral("the folder of output %1 does not exist").arg(quotedName(outputPath())));
    return true;
}

bool ReleasePublisher::checkPrevious()
{
    QString error;
    return PreviousReleases::read(m_options.previousPaths, m_options.version, &m_earlier, &error) ||
           fail(error);
}

bool ReleasePublisher::walk()
{
    const QFileInfo rootInfo(m_options.releaseDir);
    if (!rootInfo.isReadable())
        return fail(QStringLiteral("cannot read folder %1").arg(quotedName(m_options.releaseDir)));
    const QString root = rootInfo.absoluteFilePath();
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    const QString output = QFileInfo(outputPath()).absoluteFilePath();
#ifdef Q_OS_UNIX
    const QByteArray undecodable = firstNameNotUtf8(QFile::encodeName(root));
    if (!undecodable.isEmpty())
        return fail(QStringLiteral("the name of \"%1\" is not valid UTF-8: rename it (archives "
                                   "made on Windows often need unpacking with the right "
                                   "character set)")
                        .arg(escapedBytes(undecodable)));
#endif

    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    QList<bool> patternUsed(m_options.ignorePatterns.size(), false);
    // This tool's own forms of an earlier run are output, like the configuration: rewritten, not
    // listed. Anything else in the reserved folder is refused below as a path of the release.
    const bool ownForms = FormWriter::isOwnFolder(root);
    const QString formsPrefix = FormWriter::folderName() + QLatin1Char('/');
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = info.absoluteFilePath().mid(prefix.size());
        if (ownForms && (relative == FormWriter::folderName() || relative.startsWith(formsPrefix)))
            continue;
        if (info.isSymLink() || info.isJunction())
            return fail(QStringLiteral("%1 is a symbolic link, which is never followed: put the "
                                       "file itself in the release or remove the link")
                            .arg(quotedName(relative)));
        if (info.isDir()) {
            // The iterator skips folders it cannot list; a silently missing file is worse.
#ifdef Q_OS_UNIX
            const bool listable = info.isReadable() && info.isExecutable();
#else
            const bool listable = info.isReadable();
#endif
            if (!listable)
                return fail(QStringLiteral("cannot read folder %1").arg(quotedName(relative)));
            continue;
        }
        if (!info.isFile())
            return fail(QStringLiteral("%1 is not a regular file").arg(quotedName(relative)));
        // The configuration itself: the one being written, or a stale one from an earlier run,
        // which the updater could not take as a file (it would land on its new configuration).
        if (info.absoluteFilePath() == output ||
            info.absoluteFilePath() == output + QStringLiteral(".sig"))
            continue;
        if (relative == configFileName || relative == configFileName + QStringLiteral(".sig")) {
            m_warnings.append(QStringLiteral("%1 in the release folder is left out: it is not "
                                             "the output, and the updater keeps its own "
                                             "configuration under that name")
                                  .arg(quotedName(relative)));
            continue;
        }

        const QString path = QLatin1Char('/') + relative;
        if (!isSafeFilePath(path))
            return fail(QStringLiteral("%1 cannot be published: the updater refuses paths with "
                                       "control characters or any of : \\ < > \" | ? *, names "
                                       "Windows reserves (CON, NUL, COM1, aux.txt, ...) or that "
                                       "end in a dot or a space, paths in its own update/ "
                                       "folder or named UpdateCfg.xml at the top, and paths in "
                                       ".forms/ at the top, where compressed copies and patches "
                                       "go")
                            .arg(quotedName(relative)));

        Entry entry;
        entry.absolutePath = info.absoluteFilePath();
        entry.size = info.size();
#ifdef Q_OS_UNIX
        // The updater gives installed files execute permission from this; Windows has no such bit.
        entry.executable =
            (info.permissions() & (QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther)) != 0;
#endif
        for (int i = 0; i < m_options.ignorePatterns.size(); ++i) {
            if (isIgnored(relative, {m_options.ignorePatterns.at(i)})) {
                entry.ignored = true;
                patternUsed[i] = true;
            }
        }
        m_files.insert(path, entry);
    }
    // Windows holds one of them only, so the updater refuses the release: so does this tool.
    const QString collision = firstCaseCollision(m_files.keys());
    if (!collision.isEmpty())
        return fail(QStringLiteral("%1 cannot be published beside a file or folder whose path "
                                   "differs only in letter case: Windows holds only one of them")
                        .arg(quotedName(collision.mid(1))));
    for (int i = 0; i < patternUsed.size(); ++i) {
        if (!patternUsed.at(i))
            m_warnings.append(QStringLiteral("--ignore %1 matches no file")
                                  .arg(quotedName(m_options.ignorePatterns.at(i))));
    }
    return true;
}

bool ReleasePublisher::checkMain()
{
    const QString path = QLatin1Char('/') + m_options.main;
    const auto it = m_files.constFind(path);
    if (it == m_files.cend())
        return fail(QStringLiteral("main executable %1 is not among the release's files (give its "
                                   "path relative to the release folder, such as bin/app.exe)")
                        .arg(quotedName(m_options.main)));
    if (it->ignored)
        return fail(QStringLiteral("main executable %1 matches --ignore: the updater would never "
                                   "bring a new copy of it")
                        .arg(quotedName(m_options.main)));
    return true;
}

bool ReleasePublisher::hashFiles()
{
    HashProgress progress;
    progress.fileCount = int(m_files.size());
    for (const Entry& entry : std::as_const(m_files))
        progress.totalBytes += entry.size;

    for (auto it = m_files.begin(); it != m_files.end(); ++it) {
        const QString shown = quotedName(it.key().mid(1));
        std::unique_ptr<QIODevice> device = m_opener(it->absolutePath);
        if (!device || !device->isOpen() || !device->isReadable())
            return fail(
                QStringLiteral("cannot read %1: %2")
                    .arg(shown, device ? device->errorString() : QStringLiteral("no device")));
        qint64 bytesRead = 0;
        const qint64 before = progress.bytesDone;
        it->md5 = md5Hex(
            device.get(), &bytesRead,
            [&](qint64 chunk) {
                progress.bytesDone += chunk;
                if (m_progress)
                    m_progress(progress);
            },
            &it->sha256);
        if (it->md5.isEmpty())
            return fail(QStringLiteral("cannot read %1: %2").arg(shown, device->errorString()));
        if (bytesRead != it->size)
            return fail(QStringLiteral("%1 changed while it was read (%2 bytes listed, %3 read)")
                            .arg(shown)
                            .arg(it->size)
                            .arg(bytesRead));
        progress.bytesDone = before + bytesRead;
        ++progress.filesDone;
        if (m_progress)
            m_progress(progress);
    }
    return true;
}

bool ReleasePublisher::isIgnored(const QString& relativePath, const QStringList& patterns)
{
    const QStringList names = relativePath.split(QLatin1Char('/'));
    for (const QString& pattern : patterns) {
        const QRegularExpression expression = globToRegularExpression(pattern);
        if (!expression.isValid())
            continue;
        const bool anchored = pattern.contains(QLatin1Char('/'));
        QString leading;
        for (const QString& name : names) {
            leading = leading.isEmpty() ? name : leading + QLatin1Char('/') + name;
            if (expression.match(anchored ? leading : name).hasMatch())
                return true;
        }
    }
    return false;
}

QString ReleasePublisher::md5Hex(QIODevice* device, qint64* bytesRead,
                                 const std::function<void(qint64)>& chunkDone, QString* sha256Hex)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    QCryptographicHash hash256(QCryptographicHash::Sha256);
    QByteArray buffer(chunkSize, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 count = device->read(buffer.data(), buffer.size());
        if (count < 0)
            return QString();
        if (count == 0)
            break;
        hash.addData(QByteArrayView(buffer.constData(), count));
        if (sha256Hex)
            hash256.addData(QByteArrayView(buffer.constData(), count));
        total += count;
        if (chunkDone)
            chunkDone(count);
    }
    if (bytesRead)
        *bytesRead = total;
    if (sha256Hex)
        *sha256Hex = QString::fromLatin1(hash256.result().toHex());
    return QString::fromLatin1(hash.result().toHex());
}
