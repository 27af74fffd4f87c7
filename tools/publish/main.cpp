#include "progressreporter.h"
#include "releasepublisher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace
{

constexpr int refusedStatus = 2;

const char* const helpDetails = R"(
Writes the UpdateCfg.xml of RELEASE_DIR: one file element per regular file, with its path from
the release folder ("/bin/app.exe"), the MD5 and SHA-256 of its content, its size in bytes
(size="...") and, for a file executable in the release folder, exec="1" (the updater gives the
installed copy execute permission), in the updater's path order, and one info element with the
version, the main executable and the server.

--ignore GLOB is matched against the path relative to RELEASE_DIR; "*" and "?" never match "/".
A pattern without "/" matches any file or folder name at any depth ("*.log", "cache"); a pattern
with "/" matches from the top of the release ("cache/*", "data/tmp"), and a matched folder
ignores everything below it. Ignored files are still listed, with ignore="1": the updater never
fetches them. The main executable cannot be ignored. A pattern that matches no file is warned
about.

The output is made whole in memory and written through a temporary file that is checked and
renamed into place, so it is either the old file or the whole new one. The output file is never
listed; an UpdateCfg.xml (or .sig) at the top of RELEASE_DIR that is not the output is left out
with a warning.

Nothing is written, and the exit status is 2, when:
  - the version is not one the updater can read (numbers separated by dots);
  - a --previous is missing, malformed, or not older than --version;
  - the main executable is not among the release's files, or matches --ignore;
  - --server is not an http:// or https:// address, or carries a query ("?"), a fragment ("#")
    or a user name (the updater appends each file's path to it);
  - a file or folder is a symbolic link or not a regular file, or cannot be read;
  - a name is not valid UTF-8 (as unpacking a Windows archive with the wrong character set
    leaves it);
  - a path is one the updater refuses: control characters or any of : \ < > " | ? *, names
    Windows reserves (CON, NUL, COM1, aux.txt, ...), names ending in a dot or a space, paths in
    its update/ folder or in .forms/ at the top, or two paths that differ only in letter case;
  - the --sign-key file is not an Ed25519 private key.
The exit status is 0 on success.

With --sign-key KEYFILE the info element names the key's public half (publickey="...") and
OUTPUT.sig holds, on one base64 line, an Ed25519 signature over the exact bytes of OUTPUT. An
installation whose configuration names a key accepts only a next configuration signed by that
key, naming a key of its own (the same, or with --rotate-to NEWKEYFILE a new one to rotate to).
Without --sign-key a stale OUTPUT.sig is removed.

Beside the plain files (which stay where they are) RELEASE_DIR/.forms receives a zstd-compressed
copy of every managed file (.forms/PATH.zst) and, for each --previous release whose copy of the
file differs, a patch from that copy (.forms/PATH.SHA256.patch, SHA256 being the digest of the
earlier bytes), each only when smaller than what it stands in for; the configuration lists them
(zst and patch elements inside the file's element, covered by the signature). A file of more
than 32 MiB gets no patch. Upload .forms with the release: an updater fetches the patch that
applies to its installed copy, else the compressed copy, else the plain file. Forms of an
earlier run are replaced; --no-forms writes none and removes them.
)";

void printError(const QString& message)
{
    std::fprintf(stderr, "updater-publish: error: %s\n", qUtf8Printable(message));
}

int usageError(const QString& message)
{
    printError(message);
    std::fputs("Try 'updater-publish --help' for more information.\n", stderr);
    return refusedStatus;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("updater-publish"));
    QCoreApplication::setApplicationVersion(QStringLiteral(UPDATER_VERSION));
    const QStringList arguments = QCoreApplication::arguments();

    // --version takes the release's version; given without one it asks for the tool's own.
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--"))
            break;
        if (arguments.at(i) == QLatin1String("--version") &&
            (i + 1 == arguments.size() || arguments.at(i + 1).startsWith(QLatin1Char('-')))) {
            std::printf("updater-publish %s\n", UPDATER_VERSION);
            return 0;
        }
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Makes the UpdateCfg.xml of a release folder for the updater."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption(
        QStringLiteral("version"),
        QStringLiteral("Version of the release, such as 1.0.4. Without a value: show the "
                       "version of this tool."),
        QStringLiteral("VERSION"));
    const QCommandLineOption mainOption(
        QStringLiteral("main"),
        QStringLiteral("Main executable, relative to RELEASE_DIR (app.exe, bin/app.exe)."),
        QStringLiteral("FILE"));
    const QCommandLineOption serverOption(
        QStringLiteral("server"),
        QStringLiteral("Address the files are downloaded from (http:// or https://); each "
                       "file's path is appended to it."),
        QStringLiteral("URL"));
    const QCommandLineOption ignoreOption(
        QStringLiteral("ignore"),
        QStringLiteral("Mark files matching GLOB as ignored (repeatable; see below)."),
        QStringLiteral("GLOB"));
    const QCommandLineOption previousOption(
        QStringLiteral("previous"),
        QStringLiteral("UpdateCfg.xml of an earlier release, in the folder that holds its files "
                       "(repeatable); its version must be older. Changed files get patches from "
                       "its copies."),
        QStringLiteral("OLD.xml"));
    const QCommandLineOption noFormsOption(
        QStringLiteral("no-forms"),
        QStringLiteral("Write no compressed copies and patches: the updater fetches every "
                       "changed file whole."));
    const QCommandLineOption outputOption(
        QStringLiteral("output"),
        QStringLiteral("Where to write (default: RELEASE_DIR/UpdateCfg.xml)."),
        QStringLiteral("FILE"));
    const QCommandLineOption signOption(
        QStringLiteral("sign-key"),
        QStringLiteral("Sign the output with this private key (from --generate-key): writes "
                       "OUTPUT.sig and names the key's public half in the configuration."),
        QStringLiteral("KEYFILE"));
    const QCommandLineOption generateOption(
        QStringLiteral("generate-key"),
        QStringLiteral("Create a new Ed25519 key pair: the private key in KEYFILE (mode 0600, "
                       "never overwritten), the public key printed as one base64 line. Given "
                       "alone."),
        QStringLiteral("KEYFILE"));
    const QCommandLineOption rotateOption(
        QStringLiteral("rotate-to"),
        QStringLiteral("With --sign-key: name the public half of this other private key in the "
                       "configuration, so that installations trust it, and only it, from this "
                       "release on."),
        QStringLiteral("NEWKEYFILE"));
    parser.addOptions({versionOption, mainOption, serverOption, ignoreOption, previousOption,
                       outputOption, signOption, rotateOption, generateOption, noFormsOption});
    parser.addPositionalArgument(QStringLiteral("RELEASE_DIR"),
                                 QStringLiteral("Folder holding the release's files."));

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        std::fputs(qUtf8Printable(parser.helpText()), stdout);
        std::fputs(helpDetails, stdout);
        return 0;
    }
    if (parser.isSet(generateOption)) {
        if (!parser.positionalArguments().isEmpty() || parser.optionNames().size() != 1)
            return usageError(QStringLiteral("--generate-key is given alone"));
        QString publicKey;
        QString error;
        if (!ReleasePublisher::generateKey(parser.value(generateOption), &publicKey, &error)) {
            printError(error);
            return refusedStatus;
        }
        std::printf("%s\n", qUtf8Printable(publicKey));
        return 0;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return usageError(positional.isEmpty()
                              ? QStringLiteral("no RELEASE_DIR given")
                              : QStringLiteral("only one RELEASE_DIR can be given"));
    for (const QCommandLineOption& required : {versionOption, mainOption, serverOption}) {
        if (!parser.isSet(required))
            return usageError(
                QStringLiteral("--%1 is required").arg(required.names().constFirst()));
    }

    PublishOptions options;
    options.releaseDir = positional.constFirst();
    options.version = parser.value(versionOption);
    options.main = parser.value(mainOption);
    options.server = parser.value(serverOption);
    options.ignorePatterns = parser.values(ignoreOption);
    options.previousPaths = parser.values(previousOption);
    options.writeForms = !parser.isSet(noFormsOption);
    options.outputPath = parser.value(outputOption);
    options.signKeyPath = parser.value(signOption);
    options.nextKeyPath = parser.value(rotateOption);

    const bool interactive = isatty(fileno(stderr));
    QElapsedTimer clock;
    clock.start();
    int shownWidth = 0;
    const auto showProgress = [interactive, &shownWidth](const QString& line, bool last) {
        if (interactive) {
            // Rewrites one line in place; padding covers the rest of a longer earlier line.
            std::fprintf(stderr, "\r%-*s%s", shownWidth, qUtf8Printable(line), last ? "\n" : "");
            shownWidth = qMax(shownWidth, int(line.size()));
        } else {
            std::fprintf(stderr, "%s\n", qUtf8Printable(line));
        }
        std::fflush(stderr);
    };
    ProgressReporter reporter([&clock] { return clock.elapsed(); }, showProgress, 1000,
                              interactive ? 250 : 5000);

    ReleasePublisher publisher(options);
    publisher.setProgressFunction([&reporter](const HashProgress& p) { reporter.update(p); });
    const bool prepared = publisher.prepare();
    reporter.finish();
    // Compressing takes a while of its own: its progress is shown on its own line.
    ProgressReporter formsReporter([&clock] { return clock.elapsed(); }, showProgress, 1000,
                                   interactive ? 250 : 5000);
    publisher.setProgressFunction(
        [&formsReporter](const HashProgress& p) { formsReporter.update(p); });
    const bool written = prepared && publisher.write();
    formsReporter.finish();
    if (!written) {
        printError(publisher.errorString());
        return refusedStatus;
    }
    for (const QString& warning : publisher.warnings())
        std::fprintf(stderr, "updater-publish: warning: %s\n", qUtf8Printable(warning));
    const ConfigInfo& config = publisher.config();
    std::printf("wrote %s: version %s, %d files (%d ignored)\n",
                qUtf8Printable(publisher.outputPath()), qUtf8Printable(config.version),
                int(config.fileMap.size() + config.ignoreList.size()),
                int(config.ignoreList.size()));
    if (options.writeForms) {
        int compressed = 0;
        int patches = 0;
        for (const FileAttributes& attributes : config.fileAttributes) {
            for (const FileForm& form : attributes.forms)
                ++(form.kind == FileForm::Kind::Compressed ? compressed : patches);
        }
        const auto count = [](int n, const char* one, const char* many) {
            return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
        };
        std::printf("wrote %s and %s from %s into %s/.forms\n",
                    qUtf8Printable(count(compressed, "compressed copy", "compressed copies")),
                    qUtf8Printable(count(patches, "patch", "patches")),
                    qUtf8Printable(count(int(options.previousPaths.size()), "earlier release",
                                         "earlier releases")),
                    qUtf8Printable(options.releaseDir));
    }
    if (!config.publicKey.isEmpty())
        std::printf("signed %s with key %s\n", qUtf8Printable(publisher.signatureFilePath()),
                    qUtf8Printable(config.publicKey));
    return 0;
}
