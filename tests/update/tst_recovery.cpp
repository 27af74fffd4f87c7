// An installation cut off by a kill is taken up at the next start: rolled back, or finished once
// the new configuration is in place; and only from a journal the updater itself wrote, in a
// backup/ of its own, whose every record has one of its own shapes.

#include "updateharness.h"

#include "filemodes.h"
#include "logcapture.h"
#include "platform/installfs.h"
#include "recordingpresenter.h"
#include "tmpfsmount.h"
#include "treeof.h"
#include "update/installjournal.h"
#include "update/journalrecords.h"

#include <cerrno>
#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

class tst_Recovery : public QObject
{
    Q_OBJECT

private slots:
    void recoveryRollsBackOrFinishes_data();
    void recoveryRollsBackOrFinishes();
    void plantedJournalsChangeNothing_data();
    void plantedJournalsChangeNothing();
    void unfinishableJournalIsTriedOnce_data();
    void unfinishableJournalIsTriedOnce();
    void beginStartsOnlyAJournalTheNextStartTakes_data();
    void beginStartsOnlyAJournalTheNextStartTakes();
    void rollbackLeavesForeignEntriesAlone_data();
    void rollbackLeavesForeignEntriesAlone();

private:
    RecordingPresenter presenter;
};

namespace
{

// The records and the step that put the new configuration in place as the updater wrote them
// before it wrote the file itself: the file in update/ renamed over the installed one. A journal
// of that shape is no longer acted on.
void replaceConfigOldShape(InstallFs& fs)
{
    InstallFs::Entry file;
    QVERIFY(fs.entry("/update/UpdateCfg.xml", &file));
    QVERIFY(fs.appendDurably(InstallJournal::journalPath,
                             "config /update/UpdateCfg.xml /config/UpdateCfg.xml " +
                                 QByteArray::number(file.device) + ' ' +
                                 QByteArray::number(file.inode) + "\ncommit\n"));
    QVERIFY(fs.rename("/update/UpdateCfg.xml", "/config/UpdateCfg.xml", true));
}

// The names in backup/ a recovery set the journal aside under (label "rejected" or "failed").
QStringList setAside(const Installation& inst, const QString& label)
{
    return QDir(inst.path("backup"))
        .entryList({".install-journal." + label + "-*"},
                   QDir::AllEntries | QDir::Hidden | QDir::System);
}

} // namespace

void tst_Recovery::recoveryRollsBackOrFinishes_data()
{
    QTest::addColumn<QString>("stop");
    QTest::newRow("stopped before the new configuration was in place") << "before";
    QTest::newRow("stopped after") << "after";
    QTest::newRow("stopped after, configuration record of the shape no longer written")
        << "after, old shape";
}

void tst_Recovery::recoveryRollsBackOrFinishes()
{
    QFETCH(QString, stop);
    const bool committed = stop.startsWith("after");
    // An installation stopped half-way (as by a kill): the journal is left behind.
    Installation inst;
    inst.write("a.dll", "old a");
    inst.write("backup/a.dll", "older a");
    inst.write("config/UpdateCfg.xml", "old config");
    inst.write("update/a.dll", "new a");
    inst.write("update/n/new.dll", "new n");
    inst.write("update/UpdateCfg.xml", "new config");
    const auto before = inst.snapshot({});
    {
        InstallFs fs(inst.root);
        InstallJournal journal(fs);
        QVERIFY(journal.begin());
        QVERIFY(journal.setAside("/backup/a.dll"));
        QVERIFY(journal.move("/a.dll", "/backup/a.dll"));
        QVERIFY(journal.move("/update/a.dll", "/a.dll"));
        QVERIFY(journal.makePath("/n"));
        QVERIFY(journal.move("/update/n/new.dll", "/n/new.dll"));
        if (stop == "after")
            QVERIFY(journal.commit("/update/UpdateCfg.xml", "new config", "/config/UpdateCfg.xml"));
        else if (committed)
            replaceConfigOldShape(fs);
    }
    QVERIFY(inst.exists("backup/.install-journal"));

    LogCapture log;
    InstallFs fs(inst.root);
    QVERIFY(InstallJournal::recover(fs));
    const QString journal = inst.path("backup/.install-journal");
    if (stop.endsWith("old shape")) {
        QVERIFY2(
            log.lines().first().startsWith(
                QStringLiteral("InstallJournal::recover rejected \"%1\" \"line ").arg(journal)),
            qPrintable(log.lines().first()));
        QVERIFY(log.lines().first().endsWith("config from anything but its temp record's file\""));
        // Nothing done from it: update/ is still there, the stash too.
        QCOMPARE(inst.read("a.dll"), QByteArray("new a"));
        QVERIFY(inst.exists("update"));
        QCOMPARE(setAside(inst, "rejected").size(), 1);
    } else if (committed) {
        QCOMPARE(log.lines().first(),
                 QStringLiteral("InstallJournal::recover finish \"%1\"").arg(journal));
        QCOMPARE(inst.read("a.dll"), QByteArray("new a"));
        QCOMPARE(inst.read("n/new.dll"), QByteArray("new n"));
        QCOMPARE(inst.read("backup/a.dll"), QByteArray("old a"));
        QCOMPARE(inst.read("config/UpdateCfg.xml"), QByteArray("new config"));
        QVERIFY(!inst.exists("update"));
        QCOMPARE(QDir(inst.path("backup"))
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"a.dll"});
    } else {
        QCOMPARE(log.lines().first(),
                 QStringLiteral("InstallJournal::recover rollback \"%1\"").arg(journal));
        // Everything as before, update/ included: the release is offered again.
        QCOMPARE(inst.snapshot({}), before);
        QVERIFY(
            log.lines().contains(QStringLiteral("InstallJournal::rollback \"%1\" to \"%2\" success")
                                     .arg(inst.path("a.dll"), inst.path("update/a.dll"))));
        QVERIFY(log.lines().contains(
            QStringLiteral("InstallJournal::rollback removed \"%1\"").arg(inst.path("n"))));
    }
    QVERIFY(!inst.exists("backup/.install-journal"));
    // Nothing left to do the next time.
    QVERIFY(!InstallJournal::recover(fs));
}

namespace
{

#ifndef Q_OS_WIN
// Bytes this process has read through read() and the like (Linux): whether a file was read.
qint64 bytesReadSoFar()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

bool setOwner(const QString& path, uint user)
{
    return ::lchown(QFile::encodeName(path).constData(), uid_t(user), gid_t(user)) == 0;
}
#endif

} // namespace

void tst_Recovery::plantedJournalsChangeNothing_data()
{
    // Records after the header line. {V} is the victim folder outside the installation, beside
    // it, as a journal reaches it ("/..%00/{V}": ".." once the NUL ends the name); {id:PATH} is
    // the device and inode of PATH (relative to the installation, {V} resolved first).
    QTest::addColumn<QString>("records");
    // How the journal or backup/ is planted: "", "journal MODE", "journal nobody",
    // "journal hardlink", "backup MODE", "backup nobody", "backup link", "fifo", "big".
    QTest::addColumn<QString>("plant");
    // The reason in the rejection line.
    QTest::addColumn<QString>("reason");

    const QString outsidePath = "line 2: not a path of the installation";
    QTest::newRow("stash outside, then commit") << "stash /..%00/{V}\ncommit\n"
                                                << "" << outsidePath;
    QTest::newRow("temp outside") << "temp /..%00/{V}/file.txt\n"
                                  << "" << outsidePath;
    QTest::newRow("temp deeper outside") << "temp /user/..%00/..%00/{V}/.file.txt.~1\n"
                                         << "" << outsidePath;
    QTest::newRow("move out of the installation")
        << "move /..%00/{V}/taken.txt /user/settings.ini {id:user/settings.ini}\n"
        << "" << outsidePath;
    QTest::newRow("move into the installation")
        << "move /brought.txt /..%00/{V}/file.txt {id:../{V}/file.txt}\n"
        << "" << outsidePath;
    QTest::newRow("path with a line feed")
        << "move /user%0A/x /user/settings.ini {id:user/settings.ini}\n"
        << "" << outsidePath;
    QTest::newRow("path with a C1 control character")
        << "move /user%C2%85/x /user/settings.ini {id:user/settings.ini}\n"
        << "" << outsidePath;
    QTest::newRow("path not encoded as the updater encodes it")
        << "move /user/settings%2Eini /backup/user/settings.ini {id:user/settings.ini}\n"
        << "" << outsidePath;
    QTest::newRow("stash of the user's folder, then commit")
        << "stash /user\ncommit\n"
        << ""
        << "line 2: stash not named as the updater names it";
    QTest::newRow("stash of everything, then commit") << "stash /\ncommit\n"
                                                      << "" << outsidePath;
    QTest::newRow("commit alone: update/ would go") << "commit\n"
                                                    << ""
                                                    << "line 2: commit without config";
    QTest::newRow("temp of a user's file") << "temp /user/settings.ini\n"
                                           << ""
                                           << "line 2: temp not named as the updater names it";
    QTest::newRow("temp of the installed configuration")
        << "temp /config/UpdateCfg.xml\n"
        << ""
        << "line 2: temp not named as the updater names it";
    QTest::newRow("temp beside the installed configuration in other letter case")
        << "temp /CONFIG/.UpdateCfg.xml.~1\n"
        << ""
        << "line 2: temp not named as the updater names it";
    QTest::newRow("installed configuration moved to update/")
        << "move /update/config/UpdateCfg.xml /config/UpdateCfg.xml {id:config/UpdateCfg.xml}\n"
        << ""
        << "line 2: move between paths that are not counterparts";
    QTest::newRow("configuration folder moved to backup/")
        << "move /config /backup/config {id:config}\n"
        << ""
        << "line 2: move between paths that are not counterparts";
    QTest::newRow("configuration from a planted file")
        << "config /user/evil.xml /config/UpdateCfg.xml {id:user/evil.xml}\ncommit\n"
        << ""
        << "line 2: config from anything but its temp record's file";
    QTest::newRow("configuration of the shape no longer written, then commit")
        << "config /update/UpdateCfg.xml /config/UpdateCfg.xml {id:update/UpdateCfg.xml}\n"
           "commit\n"
        << ""
        << "line 2: config from anything but its temp record's file";
    QTest::newRow("user's folder set aside into a stash never declared")
        << "move /user /backup/.install-stash-20240101-000000000/0 {id:user}\n"
        << ""
        << "line 2: move between paths that are not counterparts";
    QTest::newRow("stash named for another day")
        << "stash /backup/.install-stash-20241301-000000000\n"
        << ""
        << "line 2: stash not named as the updater names it";
    QTest::newRow("move with a number too many") << "move /app.bin /backup/app.bin {id:app.bin} 7\n"
                                                 << ""
                                                 << "line 2: wrong number of fields";
    QTest::newRow("move with a number written otherwise") << "move /app.bin /backup/app.bin 01 2\n"
                                                          << ""
                                                          << "line 2: not a number";
    QTest::newRow("unknown kind of record") << "chmod /app.bin 4755\n"
                                            << ""
                                            << "line 2: unknown kind of record";
    QTest::newRow("empty line") << "\n"
                                << ""
                                << "line 2: unknown kind of record";
    QTest::newRow("second header") << "updater-install-journal 1\n"
                                   << ""
                                   << "line 2: unknown kind of record";
    QTest::newRow("mkdir of backup/ later on")
        << "mkdir /n\nmkdir /backup\n"
        << ""
        << "line 3: mkdir of a folder the updater does not make";

    // A planted file moved onto the main program: through a path that is no counterpart of it
    // (refused by its shape), or through its own backup/ counterpart (the shape the updater
    // writes: refused because nobody else may write the journal and backup/).
    QTest::newRow("main program swapped for a planted file")
        << "move /app.bin /user/evil.bin {id:user/evil.bin}\n"
           "move /update/app.bin /app.bin {id:app.bin}\n"
        << ""
        << "line 2: move between paths that are not counterparts";
    const QString swap = "move /app.bin /backup/app.bin {id:backup/app.bin}\n"
                         "move /update/app.bin /app.bin {id:app.bin}\n";
    QTest::newRow("swap, journal of another user") << swap << "journal nobody"
                                                   << "owned by another user";
    QTest::newRow("swap, group-writable journal") << swap << "journal 0664"
                                                  << "writable by others";
    QTest::newRow("swap, world-writable journal") << swap << "journal 0646"
                                                  << "writable by others";
    QTest::newRow("swap, set-uid journal") << swap << "journal 04644"
                                           << "set-id";
    QTest::newRow("swap, hard-linked journal") << swap << "journal hardlink"
                                               << "more than one name";
    QTest::newRow("swap, backup/ of another user") << swap << "backup nobody"
                                                   << "backup/: owned by another user";
    QTest::newRow("swap, world-writable backup/") << swap << "backup 0777"
                                                  << "backup/: writable by others";
    QTest::newRow("swap, group-writable backup/") << swap << "backup 0775"
                                                  << "backup/: writable by others";
    QTest::newRow("swap, backup/ a link") << swap << "backup link"
                                          << "backup/ is a link";
    QTest::newRow("journal a FIFO") << ""
                                    << "fifo"
                                    << "not a regular file";
    QTest::newRow("journal past the bound")
        << swap << "big" << QStringLiteral("longer than %1 bytes").arg(journal::maxBytes);
}

void tst_Recovery::plantedJournalsChangeNothing()
{
#ifdef Q_OS_WIN
    QSKIP("POSIX owners, modes, FIFOs and the NUL of a decoded segment");
#else
    QFETCH(QString, records);
    QFETCH(QString, plant);
    QFETCH(QString, reason);
    const QStringList words = plant.split(' ', Qt::SkipEmptyParts);
    if ((words.contains("nobody")) && ::geteuid() != 0)
        QSKIP("only root gives a file to another user");

    Installation inst;
    inst.write("app.bin", "real app");
    inst.write("config/UpdateCfg.xml", "installed config");
    inst.write("update/UpdateCfg.xml", "new release");
    inst.write("update/app.bin", "new app");
    inst.write("user/settings.ini", "user settings");
    inst.write("user/data/notes.txt", "user notes");
    inst.write("user/evil.bin", "evil app");
    inst.write("user/evil.xml", "evil config");
    inst.write("backup/app.bin", "evil app in backup");
    // The victim, outside the installation and beside it.
    QTemporaryDir victim;
    QVERIFY(victim.isValid());
    const QString victimPath = QDir(victim.path()).canonicalPath();
    QCOMPARE(QFileInfo(victimPath).path(), QFileInfo(inst.root).path());
    const QString v = QFileInfo(victimPath).fileName();
    for (const auto& [name, bytes] : {std::pair<QString, QByteArray>{"file.txt", "victim file"},
                                      {"sub/deep.txt", "victim deep"}}) {
        QDir().mkpath(QFileInfo(victimPath + "/" + name).path());
        QFile file(victimPath + "/" + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    // The records, with their placeholders filled in.
    QString text = records;
    text.replace("{V}", v);
    static const QRegularExpression id(QStringLiteral("\\{id:([^}]*)\\}"));
    for (QRegularExpressionMatch m = id.match(text); m.hasMatch(); m = id.match(text)) {
        struct stat st;
        QVERIFY2(::lstat(QFile::encodeName(inst.path(m.captured(1))).constData(), &st) == 0,
                 qPrintable(m.captured(1)));
        text.replace(m.capturedStart(), m.capturedLength(),
                     QStringLiteral("%1 %2").arg(quint64(st.st_dev)).arg(quint64(st.st_ino)));
    }
    const QByteArray journalText = "updater-install-journal 1\n" + text.toUtf8();
    const QString journal = inst.path("backup/.install-journal");
    const QByteArray backupNative = QFile::encodeName(inst.path("backup"));
    const QByteArray journalNative = QFile::encodeName(journal);
    QVERIFY(::chmod(backupNative.constData(), 0755) == 0);
    if (plant == "fifo") {
        QVERIFY(::mkfifo(journalNative.constData(), 0644) == 0);
    } else if (plant == "backup link") {
        // backup/ is a link to a folder of the user's holding the journal.
        inst.write("user/fake/.install-journal", journalText);
        inst.write("user/fake/app.bin", "evil app in backup");
        QVERIFY(QDir(inst.path("backup")).removeRecursively());
        QVERIFY(QFile::link(inst.path("user/fake"), inst.path("backup")));
    } else {
        inst.write("backup/.install-journal", journalText);
        QVERIFY(::chmod(journalNative.constData(), 0644) == 0);
        if (plant == "big") {
            // Sparse: the size is there, the blocks are not.
            QFile file(journal);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.resize(journal::maxBytes + 1));
        }
    }
    if (words.value(0) == "journal" || words.value(0) == "backup") {
        const QByteArray& target = words.value(0) == "journal" ? journalNative : backupNative;
        if (words.value(1) == "nobody")
            QVERIFY(setOwner(QFile::decodeName(target), 65534));
        else if (words.value(1) == "hardlink")
            QVERIFY(::link(target.constData(),
                           QFile::encodeName(inst.path("user/journal")).constData()) == 0);
        else if (words.value(1) != "link")
            QVERIFY(::chmod(target.constData(), mode_t(words.value(1).toUInt(nullptr, 8))) == 0);
    }

    const auto installationBefore = inst.snapshot({"backup"});
    const auto victimBefore = treeOf(victimPath);
    const QByteArray backupCopy = inst.read("backup/app.bin");

    LogCapture log;
    InstallFs fs(inst.root);
    const qint64 readBefore = bytesReadSoFar();
    QVERIFY(InstallJournal::recover(fs));
    const qint64 readDuring = bytesReadSoFar() - readBefore;

    // One line says why, nothing else is done.
    QCOMPARE(
        log.linesStartingWith("InstallJournal::recover rejected"),
        QStringList{
            QStringLiteral("InstallJournal::recover rejected \"%1\" \"%2\"").arg(journal, reason)});
    QVERIFY(log.linesStartingWith("InstallJournal::recover finish").isEmpty());
    QVERIFY(log.linesStartingWith("InstallJournal::recover rollback").isEmpty());
    QVERIFY(log.linesStartingWith("InstallJournal::rollback").isEmpty());
    QCOMPARE(treeOf(victimPath), victimBefore);
    QCOMPARE(inst.snapshot({"backup"}), installationBefore);
    QCOMPARE(inst.read("app.bin"), QByteArray("real app"));
    QCOMPARE(inst.read("update/UpdateCfg.xml"), QByteArray("new release"));
    QCOMPARE(inst.read("config/UpdateCfg.xml"), QByteArray("installed config"));
    QCOMPARE(inst.read("user/settings.ini"), QByteArray("user settings"));
    QCOMPARE(inst.read("backup/app.bin"), backupCopy);
    if (plant == "big") {
        // Refused by its size: not read, so not held in memory either.
        QVERIFY2(readBefore >= 0, "no /proc/self/io");
        QVERIFY2(readDuring < 1024 * 1024, qPrintable(QString::number(readDuring)));
    }

    if (plant == "backup link") {
        // Nothing behind the link is touched, the journal there included.
        QCOMPARE(inst.read("user/fake/.install-journal"), journalText);
        return;
    }
    // Set aside, so that the next start does not see it again.
    QVERIFY(!QFileInfo::exists(journal) && !QFileInfo(journal).isSymLink());
    const QStringList aside = setAside(inst, "rejected");
    QCOMPARE(aside.size(), 1);
    QCOMPARE(log.linesStartingWith("InstallJournal::recover set aside"),
             QStringList{QStringLiteral("InstallJournal::recover set aside \"%1\" \"%2\"")
                             .arg(journal, inst.path("backup/" + aside.first()))});
    log.clear();
    QVERIFY(!InstallJournal::recover(fs));
    QCOMPARE(log.lines(), QStringList());
    QCOMPARE(inst.read("update/UpdateCfg.xml"), QByteArray("new release"));
#endif
}

void tst_Recovery::unfinishableJournalIsTriedOnce_data()
{
    QTest::addColumn<bool>("committed");
    QTest::newRow("rollback that cannot put a file back") << false;
    QTest::newRow("finish that cannot remove the stash") << true;
}

void tst_Recovery::unfinishableJournalIsTriedOnce()
{
    QFETCH(bool, committed);
    // A journal the updater wrote, stopped by a kill.
    Installation inst;
    inst.write("a.dll", "old a");
    inst.write("backup/a.dll", "older a");
    inst.write("config/UpdateCfg.xml", "old config");
    inst.write("update/a.dll", "new a");
    inst.write("update/UpdateCfg.xml", "new config");
    QString stash;
    {
        InstallFs fs(inst.root);
        InstallJournal journal(fs);
        QVERIFY(journal.begin());
        QVERIFY(journal.setAside("/backup/a.dll"));
        QVERIFY(journal.move("/a.dll", "/backup/a.dll"));
        QVERIFY(journal.move("/update/a.dll", "/a.dll"));
        if (committed)
            QVERIFY(journal.commit("/update/UpdateCfg.xml", "new config", "/config/UpdateCfg.xml"));
        stash = QDir(inst.path("backup"))
                    .entryList({".install-stash-*"}, QDir::Dirs | QDir::Hidden)
                    .value(0);
        QVERIFY(!stash.isEmpty());
    }

    FaultHookReset reset;
    TmpfsMount busy;
    if (committed) {
        // A file system mounted on the stash: it cannot be removed.
        QString why;
        if (!busy.mount(inst.path("backup/" + stash), 64 * 1024, &why))
            QSKIP(qPrintable(why));
    } else {
        // The new a.dll is held open by another program: it can be neither moved nor removed.
        InstallFs::setFaultHook([](const QString&, const QString& path) {
            return path == QLatin1String("/a.dll") ? EBUSY : 0;
        });
    }
    LogCapture log;
    InstallFs fs(inst.root);
    QVERIFY(InstallJournal::recover(fs));
    InstallFs::setFaultHook(nullptr);
    const QString journal = inst.path("backup/.install-journal");
    QCOMPARE(log.linesStartingWith("InstallJournal::recover failed"),
             QStringList{QStringLiteral("InstallJournal::recover failed \"%1\"").arg(journal)});
    const QStringList aside = setAside(inst, "failed");
    QCOMPARE(aside.size(), 1);
    QVERIFY(log.lines().contains(QStringLiteral("InstallJournal::recover set aside \"%1\" \"%2\"")
                                     .arg(journal, inst.path("backup/" + aside.first()))));
    QVERIFY(!inst.exists("backup/.install-journal"));
    if (committed) {
        // The journal reached its commit: the run is decided, update/ goes.
        QVERIFY(log.lines().contains(
            QStringLiteral("InstallJournal::recover finish \"%1\"").arg(journal)));
        QCOMPARE(inst.read("config/UpdateCfg.xml"), QByteArray("new config"));
        QVERIFY(!inst.exists("update"));
    } else {
        // Rolled back as far as it goes; the release stays in update/ for the next run.
        QVERIFY(log.lines().contains(
            QStringLiteral("InstallJournal::recover rollback \"%1\"").arg(journal)));
        QCOMPARE(inst.read("update/UpdateCfg.xml"), QByteArray("new config"));
        QCOMPARE(inst.read("config/UpdateCfg.xml"), QByteArray("old config"));
    }
    // Tried once: the next start finds nothing to do.
    log.clear();
    QVERIFY(!InstallJournal::recover(fs));
    QCOMPARE(log.lines(), QStringList());
}

void tst_Recovery::beginStartsOnlyAJournalTheNextStartTakes_data()
{
    QTest::addColumn<QString>("backup"); // what backup/ is before begin()
    QTest::addColumn<bool>("begins");
    QTest::addColumn<QString>("mode"); // backup/'s mode afterwards (octal), when it begins
    QTest::newRow("missing") << "" << true << "755";
    QTest::newRow("missing, under a umask of 0") << "umask" << true << "755";
    QTest::newRow("folder of ours") << "0700" << true << "700";
    QTest::newRow("group-writable folder of ours") << "0775" << true << "755";
    QTest::newRow("world-writable folder of ours") << "0777" << true << "755";
    QTest::newRow("folder of another user") << "nobody" << false << "";
    QTest::newRow("link to a folder") << "link" << false << "";
    QTest::newRow("file") << "file" << false << "";
}

void tst_Recovery::beginStartsOnlyAJournalTheNextStartTakes()
{
#ifdef Q_OS_WIN
    QSKIP("POSIX owners and modes");
#else
    QFETCH(QString, backup);
    QFETCH(bool, begins);
    QFETCH(QString, mode);
    if (backup == "nobody" && ::geteuid() != 0)
        QSKIP("only root gives a folder to another user");
    Installation inst;
    inst.write("a.dll", "old a");
    inst.write("update/a.dll", "new a");
    inst.write("sub/b.dll", "old b");
    if (backup == "link") {
        QDir().mkpath(inst.path("elsewhere"));
        QVERIFY(QFile::link(inst.path("elsewhere"), inst.path("backup")));
    } else if (backup == "file") {
        inst.write("backup", "a file");
    } else if (!backup.isEmpty() && backup != "umask") {
        QDir().mkpath(inst.path("backup"));
        if (backup == "nobody")
            QVERIFY(setOwner(inst.path("backup"), 65534));
        else
            QVERIFY(chmodPath(inst.path("backup"), backup.toUInt(nullptr, 8)));
    }
    const mode_t previousMask = ::umask(backup == "umask" ? 0 : 022);
    InstallFs fs(inst.root);
    InstallJournal journal(fs);
    LogCapture log;
    const bool begun = journal.begin();
    // A folder made in backup/ for a kept copy is closed to others under any umask too.
    const bool keptBelow =
        begun && journal.makePath("/backup/sub") && journal.move("/sub/b.dll", "/backup/sub/b.dll");
    ::umask(previousMask);
    QCOMPARE(begun, begins);
    if (!begins) {
        QVERIFY(!inst.exists("backup/.install-journal"));
        QCOMPARE(log.linesStartingWith("InstallJournal::begin refused").size(), 1);
        QCOMPARE(inst.read("a.dll"), QByteArray("old a"));
        return;
    }
    QCOMPARE(QString::number(modeOf(inst.path("backup")), 8), mode);
    QVERIFY(keptBelow);
    QCOMPARE(QString::number(modeOf(inst.path("backup/sub")), 8), QStringLiteral("755"));
    QString reason;
    QVERIFY2(fs.updatersOwn("/backup/.install-journal", InstallFs::Kind::File, &reason),
             qPrintable(reason));
    // Stopped here: the next start takes the journal and rolls the move back.
    QVERIFY(journal.move("/a.dll", "/backup/a.dll"));
    QVERIFY(journal.move("/update/a.dll", "/a.dll"));
    log.clear();
    QVERIFY(InstallJournal::recover(fs));
    QVERIFY(log.linesStartingWith("InstallJournal::recover rejected").isEmpty());
    QCOMPARE(inst.read("update/a.dll"), QByteArray("new a"));
    QCOMPARE(inst.read("a.dll"), QByteArray("old a"));
    QCOMPARE(inst.read("sub/b.dll"), QByteArray("old b"));
#endif
}

void tst_Recovery::rollbackLeavesForeignEntriesAlone_data()
{
    // Which moved entry someone else replaced after the run stopped, and by what.
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("folder");
    QTest::addColumn<bool>("split");
    QTest::newRow("file where the new file went") << "lib/a.dll" << false << false;
    QTest::newRow("folder where the new file went") << "lib/a.dll" << true << false;
    QTest::newRow("file where the old copy went") << "backup/lib/a.dll" << false << false;
    QTest::newRow("file where a copy across file systems went") << "lib/a.dll" << false << true;
}

// A move is undone only when the entry at its target is the one it moved (same device and
// inode): anything else there came from someone else, and a recovery that runs a second time
// finds its own restored files there. Taking it back would install or discard a stranger's file.
void tst_Recovery::rollbackLeavesForeignEntriesAlone()
{
    QFETCH(QString, target);
    QFETCH(bool, folder);
    QFETCH(bool, split);

    Installation inst;
    TmpfsMount lib;
    QString reason;
    if (split && !lib.mount(inst.path("lib"), 1024 * 1024, &reason))
        QSKIP(qPrintable(reason));
    inst.write("lib/a.dll", "old a");
    inst.write("config/UpdateCfg.xml", "old config");
    inst.write("update/lib/a.dll", "new a");
    inst.write("update/UpdateCfg.xml", "new config");
    {
        // Stopped after the moves, as by a kill: the journal stays.
        InstallFs fs(inst.root);
        InstallJournal journal(fs);
        QVERIFY(journal.begin());
        QVERIFY(journal.makePath("/backup/lib"));
        QVERIFY(journal.move("/lib/a.dll", "/backup/lib/a.dll"));
        QVERIFY(journal.move("/update/lib/a.dll", "/lib/a.dll"));
    }
    // Made while the moved entry still exists, so that it cannot get its inode number again.
    const QString made = target + ".made";
    inst.write(folder ? made + "/inner.txt" : made, "someone else's");
    QVERIFY(QFile::remove(inst.path(target)));
    QVERIFY(QDir().rename(inst.path(made), inst.path(target)));
    const QString foreign = folder ? target + "/inner.txt" : target;

    InstallFs fs(inst.root);
    QVERIFY(InstallJournal::recover(fs));
    QVERIFY(!inst.exists("backup/.install-journal"));
    // The stranger's entry is where it was put, and nowhere else.
    QCOMPARE(inst.read(foreign), QByteArray("someone else's"));
    QStringList holders;
    QDirIterator it(inst.root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (inst.read(QDir(inst.root).relativeFilePath(path)) == "someone else's")
            holders << QDir(inst.root).relativeFilePath(path);
    }
    QCOMPARE(holders, QStringList{foreign});
    // What the run moved and is still itself went back, or, with its place taken, is kept apart.
    if (target.startsWith("backup/")) {
        QCOMPARE(inst.read("update/lib/a.dll"), QByteArray("new a"));
    } else {
        const QStringList kept =
            QDir(inst.path("backup")).entryList({".unrestored-*"}, QDir::Dirs | QDir::Hidden);
        QCOMPARE(kept.size(), 1);
        QCOMPARE(inst.read("backup/" + kept.first() + "/lib/a.dll"), QByteArray("old a"));
    }
    QCOMPARE(inst.read("config/UpdateCfg.xml"), QByteArray("old config"));
}

QTEST_MAIN(tst_Recovery)
#include "tst_recovery.moc"
