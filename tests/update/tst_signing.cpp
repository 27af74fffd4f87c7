// Signed releases against a real HTTP server on loopback: an installation whose configuration
// names a public key takes only a next configuration signed by that key, with a SHA-256 for
// every file, and checks every download against it.

#include "updateharness.h"

#include "logcapture.h"
#include "recordingpresenter.h"

#include "config/signature.h"
#include "platform/installfs.h"

#include <QTemporaryDir>

#include <atomic>
#include <cerrno>
#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

class tst_Signing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signedReleaseInstalls();
    void refusedBeforeAnyDownload_data();
    void refusedBeforeAnyDownload();
    void downloadCheckedAgainstSha256_data();
    void downloadCheckedAgainstSha256();
    void configurationSwappedDuringDownloadIsRefused_data();
    void configurationSwappedDuringDownloadIsRefused();
    void installedConfigurationIsTheUpdatersOwn_data();
    void installedConfigurationIsTheUpdatersOwn();
    void keyRotationOverThreeReleases();
    void unsignedInstallationOptsInWithOneSignedRelease();

private:
    RecordingPresenter presenter;
};

namespace
{

struct Key {
    QByteArray pem;
    QString pub;
};

Key newKey()
{
    Key key;
    QString error;
    if (!Signature::generateKey(&key.pem, &key.pub, &error))
        qFatal("cannot make a key: %s", qPrintable(error));
    return key;
}

QByteArray withKey(QByteArray xml, const QString& key)
{
    if (!key.isEmpty())
        xml.replace("<info ", "<info publickey=\"" + key.toLatin1() + "\" ");
    return xml;
}

const QByteArray bodyA(3000, 'a');
const QByteArray bodyB(5000, 'b');
const QString installedB = QStringLiteral("installed b");

// Puts body on the server at path and lists it with its md5 and sha256.
void offerSigned(Release& release, const QString& path, const QByteArray& body)
{
    release.offer(path, body);
    release.extraAttributes.insert(path, QStringLiteral(" sha256=\"%1\"").arg(sha256Of(body)));
}

// Installed 1.0 trusting trusted (none when empty) with an older b.bin; offered 1.1 naming
// carried and signed by signer (no signature file when its key is empty).
void writeSigned(Release& release, const QString& trusted, const QString& carried,
                 const QByteArray& signerPem)
{
    release.inst.write("b.bin", installedB.toUtf8());
    release.writeConfigs({{"/b.bin", "old"}});
    release.installedConfig = withKey(release.installedConfig, trusted);
    release.offeredConfig = withKey(release.offeredConfig, carried);
    release.inst.write("config/UpdateCfg.xml", release.installedConfig);
    release.inst.write("update/UpdateCfg.xml", release.offeredConfig);
    if (!signerPem.isEmpty()) {
        QString error;
        const QByteArray signature = Signature::sign(signerPem, release.offeredConfig, &error);
        QVERIFY2(!signature.isEmpty(), qPrintable(error));
        release.inst.write("update/UpdateCfg.xml.sig", signature);
    }
}

} // namespace

void tst_Signing::initTestCase()
{
    if (!Signature::available())
        QSKIP("this build cannot sign or verify");
}

void tst_Signing::signedReleaseInstalls()
{
    const Key key = newKey();
    Release release;
    offerSigned(release, "/a.bin", bodyA);
    offerSigned(release, "/b.bin", bodyB);
    writeSigned(release, key.pub, key.pub, key.pem);

    LogCapture log;
    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());

    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.inst.read("a.bin"), bodyA);
    QCOMPARE(release.inst.read("b.bin"), bodyB);
    QCOMPARE(release.inst.read("backup/b.bin"), installedB.toUtf8());
    // The verified bytes are what is installed; the signature goes with update/, and no copy of
    // it is left to pass for the signature of a later configuration.
    QCOMPARE(release.inst.read("config/UpdateCfg.xml"), release.offeredConfig);
    QVERIFY(!release.inst.exists("config/UpdateCfg.xml.sig"));
    QVERIFY(!release.inst.exists("update"));
    QCOMPARE(log.linesStartingWith("update config signature valid:").size(), 1);
}

enum class Fault {
    ChangedByte,
    OtherKey,
    SignedByItsOwnKey,
    MissingSignature,
    TruncatedSignature,
    EmptySignature,
    SignatureOnTwoLines,
    SignatureIsAFolder,
    DropsKey,
    MalformedCarriedKey,
    FileWithoutSha256,
    ShortSha256,
    AlteredPatchDigest,
};
Q_DECLARE_METATYPE(Fault)

void tst_Signing::refusedBeforeAnyDownload_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("message");
    const QString invalid = QStringLiteral("更新配置文件签名无效");
    QTest::newRow("a changed byte") << Fault::ChangedByte << "does not verify" << invalid;
    QTest::newRow("signed by another key") << Fault::OtherKey << "does not verify" << invalid;
    QTest::newRow("signed by the key it names, not the trusted one")
        << Fault::SignedByItsOwnKey << "wrong key" << invalid;
    QTest::newRow("no signature file") << Fault::MissingSignature << "missing" << invalid;
    QTest::newRow("truncated signature") << Fault::TruncatedSignature << "malformed" << invalid;
    QTest::newRow("empty signature") << Fault::EmptySignature << "malformed" << invalid;
    QTest::newRow("signature split over two lines")
        << Fault::SignatureOnTwoLines << "malformed" << invalid;
    QTest::newRow("a folder for a signature")
        << Fault::SignatureIsAFolder << "malformed" << invalid;
    QTest::newRow("release drops the key")
        << Fault::DropsKey << "release carries no public key" << invalid;
    QTest::newRow("release names a malformed key")
        << Fault::MalformedCarriedKey << "release carries a malformed public key" << invalid;
    QTest::newRow("a patch's digest altered")
        << Fault::AlteredPatchDigest << "does not verify" << invalid;
    QTest::newRow("file without sha256")
        << Fault::FileWithoutSha256 << "signed config: file without sha256:"
        << QStringLiteral("配置文件中的文件校验值无效:/a.bin");
    QTest::newRow("sha256 of 63 digits")
        << Fault::ShortSha256 << "signed config: file without sha256:"
        << QStringLiteral("配置文件中的文件校验值无效:/b.bin");
}

void tst_Signing::refusedBeforeAnyDownload()
{
    QFETCH(Fault, fault);
    QFETCH(QString, reason);
    QFETCH(QString, message);

    const Key trusted = newKey();
    const Key other = newKey();
    Release release;
    if (fault == Fault::FileWithoutSha256)
        release.offer("/a.bin", bodyA);
    else
        offerSigned(release, "/a.bin", bodyA);
    offerSigned(release, "/b.bin", bodyB);
    if (fault == Fault::ShortSha256)
        release.extraAttributes.insert(
            "/b.bin", QStringLiteral(" sha256=\"%1\"").arg(sha256Of(bodyB).left(63)));

    QString carried = trusted.pub;
    QByteArray signer = trusted.pem;
    if (fault == Fault::OtherKey)
        signer = other.pem;
    if (fault == Fault::SignedByItsOwnKey) {
        carried = other.pub;
        signer = other.pem;
    }
    if (fault == Fault::DropsKey)
        carried.clear();
    if (fault == Fault::MalformedCarriedKey)
        carried = trusted.pub.left(20);
    writeSigned(release, trusted.pub, carried, signer);

    const QByteArray signature = release.inst.read("update/UpdateCfg.xml.sig");
    switch (fault) {
    case Fault::ChangedByte: {
        QByteArray changed = release.offeredConfig;
        const qsizetype at = changed.indexOf("1.1");
        QVERIFY(at > 0);
        changed[at + 2] = '2';
        release.inst.write("update/UpdateCfg.xml", changed);
        break;
    }
    case Fault::AlteredPatchDigest: {
        // Signed with a patch of b.bin listed, then the patch's digest changed: the records of
        // the forms are part of the signed text like every attribute.
        const QByteArray sha = sha256Of(bodyB).toLatin1();
        const QByteArray patchSha(64, 'c');
        QByteArray withPatch = release.offeredConfig;
        withPatch.replace("sha256=\"" + sha + "\"/>", "sha256=\"" + sha + "\"><patch base=\"" +
                                                          sha256Of("installed b").toLatin1() +
                                                          "\" size=\"10\" sha256=\"" + patchSha +
                                                          "\"/></file>");
        QVERIFY(withPatch.contains("<patch "));
        QString error;
        release.inst.write("update/UpdateCfg.xml.sig",
                           Signature::sign(trusted.pem, withPatch, &error));
        release.inst.write("update/UpdateCfg.xml",
                           QByteArray(withPatch).replace(patchSha, QByteArray(64, 'd')));
        break;
    }
    case Fault::MissingSignature:
        QVERIFY(QFile::remove(release.inst.path("update/UpdateCfg.xml.sig")));
        break;
    case Fault::TruncatedSignature:
        release.inst.write("update/UpdateCfg.xml.sig", signature.left(signature.size() / 2));
        break;
    case Fault::EmptySignature:
        release.inst.write("update/UpdateCfg.xml.sig", QByteArray());
        break;
    case Fault::SignatureOnTwoLines:
        release.inst.write("update/UpdateCfg.xml.sig",
                           signature.left(40) + '\n' + signature.mid(40));
        break;
    case Fault::SignatureIsAFolder:
        QVERIFY(QFile::remove(release.inst.path("update/UpdateCfg.xml.sig")));
        QVERIFY(QDir().mkpath(release.inst.path("update/UpdateCfg.xml.sig")));
        break;
    default:
        break;
    }
    const auto before = release.inst.snapshot();

    LogCapture log;
    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());

    QVERIFY(!run.ok);
    QCOMPARE(run.msg, message);
    QCOMPARE(release.server.requestedPaths(), QStringList());
    QCOMPARE(release.inst.snapshot(), before);
    QVERIFY(!release.inst.exists("update/a.bin"));
    QVERIFY2(log.lines().filter(reason).size() == 1, qPrintable(log.lines().join('\n')));
}

void tst_Signing::downloadCheckedAgainstSha256_data()
{
    QTest::addColumn<bool>("sha256Matches");
    QTest::addColumn<bool>("md5Matches");
    QTest::newRow("both match") << true << true;
    QTest::newRow("sha256 differs, md5 made to match") << false << true;
    // The sha256 alone judges: the served bytes are the ones the signature covers.
    QTest::newRow("md5 differs, sha256 matches") << true << false;
}

void tst_Signing::downloadCheckedAgainstSha256()
{
    QFETCH(bool, sha256Matches);
    QFETCH(bool, md5Matches);

    const Key key = newKey();
    Release release;
    offerSigned(release, "/a.bin", bodyA);
    // Both texts set by hand: what the server holds is not what the configuration describes.
    const QByteArray served = "served instead of the published b";
    release.offer("/b.bin", served, md5Matches ? md5Of(served) : md5Of(bodyB));
    release.extraAttributes.insert(
        "/b.bin", QStringLiteral(" sha256=\"%1\"").arg(sha256Of(sha256Matches ? served : bodyB)));
    writeSigned(release, key.pub, key.pub, key.pem);
    const auto before = release.inst.snapshot();

    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());

    if (sha256Matches) {
        QVERIFY2(run.ok, qPrintable(run.msg));
        QCOMPARE(release.inst.read("b.bin"), served);
        return;
    }
    QVERIFY(!run.ok);
    QCOMPARE(run.msg, QStringLiteral("文件校验失败:/b.bin"));
    QVERIFY(!release.inst.exists("update/b.bin"));
    QCOMPARE(release.inst.snapshot(), before);
}

void tst_Signing::configurationSwappedDuringDownloadIsRefused_data()
{
    QTest::addColumn<bool>("signedRelease");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("logged");
    QTest::newRow("signed") << true << QStringLiteral("更新配置文件签名无效")
                            << "update config changed after its signature was checked";
    // Only the digest of an unsigned release is kept through the downloads.
    QTest::newRow("unsigned") << false << QStringLiteral("更新配置文件在检查后被更改")
                              << "update config changed after it was checked";
}

void tst_Signing::configurationSwappedDuringDownloadIsRefused()
{
    QFETCH(bool, signedRelease);
    QFETCH(QString, message);
    QFETCH(QString, logged);
    const Key key = newKey();
    Release release;
    offerSigned(release, "/a.bin", bodyA);
    offerSigned(release, "/b.bin", bodyB);
    if (signedRelease)
        writeSigned(release, key.pub, key.pub, key.pem);
    else
        writeSigned(release, QString(), QString(), QByteArray());
    release.server.holdAfter("/b.bin", 100);
    const auto before = release.inst.snapshot();

    LogCapture log;
    WorkerRun run;
    run.start();
    QVERIFY(QTest::qWaitFor([&] { return release.server.isHolding("/b.bin"); }, 20000));
    // Checked already; another configuration put in its place must not be installed.
    QByteArray swapped = release.offeredConfig;
    swapped.replace("app.bin", "evil.bin");
    release.inst.write("update/UpdateCfg.xml", swapped);
    release.server.release("/b.bin");
    QVERIFY(run.waitFinished());

    QVERIFY(!run.ok);
    QCOMPARE(run.msg, message);
    QCOMPARE(log.linesStartingWith(logged).size(), 1);
    QCOMPARE(release.inst.snapshot(), before);
}

void tst_Signing::installedConfigurationIsTheUpdatersOwn_data()
{
    QTest::addColumn<QString>("placing");
    QTest::newRow("placed by another user") << "other user";
    QTest::newRow("placed as a hard link to a file outside") << "hard link";
    QTest::newRow("swapped for a forged one while the files are moved") << "swapped";
    QTest::newRow("an earlier run's temporary name taken") << "name taken";
}

void tst_Signing::installedConfigurationIsTheUpdatersOwn()
{
#ifdef Q_OS_WIN
    QSKIP("owners, modes and hard links are POSIX's here");
#else
    QFETCH(QString, placing);
    if (placing == "other user" && ::geteuid() != 0)
        QSKIP("giving a file to another user needs root");
    const Key key = newKey();
    const Key forger = newKey();
    Release release;
    offerSigned(release, "/a.bin", bodyA);
    offerSigned(release, "/b.bin", bodyB);
    writeSigned(release, key.pub, key.pub, key.pem);
    const QString placed = release.inst.path("update/UpdateCfg.xml");

    QTemporaryDir outside;
    const QString outsideFile = outside.path() + "/UpdateCfg.xml";
    if (placing == "other user") {
        // The application's user, who may write the file again after the update.
        QCOMPARE(::chown(QFile::encodeName(placed).constData(), 65534, 65534), 0);
        QCOMPARE(::chmod(QFile::encodeName(placed).constData(), 0666), 0);
    } else if (placing == "hard link") {
        QVERIFY(QFile::rename(placed, outsideFile));
        QCOMPARE(::link(QFile::encodeName(outsideFile).constData(),
                        QFile::encodeName(placed).constData()),
                 0);
    }
    const QByteArray leftover = "left by a run that was cut off";
    if (placing == "name taken")
        release.inst.write("config/.UpdateCfg.xml.~1", leftover);
    // The same release signed by another key: what a writer of update/ would slip in once the
    // signature was checked.
    QByteArray forged = release.offeredConfig;
    forged.replace(key.pub.toLatin1(), forger.pub.toLatin1());
    struct stat placedStat;
    QCOMPARE(::stat(QFile::encodeName(placed).constData(), &placedStat), 0);

    FaultHookReset reset;
    std::atomic<bool> swapped{false};
    if (placing == "swapped") {
        InstallFs::setFaultHook([&](const QString& operation, const QString& path) {
            // At the first move of the installation (a downloaded file takes its name in update/
            // before), when the journal is begun and the placed file was compared.
            if (operation == QLatin1String("rename") &&
                !path.startsWith(QLatin1String("/update/")) && !swapped.exchange(true)) {
                QFile out(placed + ".forged");
                if (out.open(QIODevice::WriteOnly))
                    out.write(forged);
                out.close();
                QFile::remove(placed);
                QFile::rename(placed + ".forged", placed);
            }
            return 0;
        });
    }
    LogCapture log;
    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    InstallFs::setFaultHook(nullptr);

    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(swapped.load(), placing == "swapped");
    const QString installed = release.inst.path("config/UpdateCfg.xml");
    QCOMPARE(release.inst.read("config/UpdateCfg.xml"), release.offeredConfig);
    struct stat st;
    QCOMPARE(::lstat(QFile::encodeName(installed).constData(), &st), 0);
    QCOMPARE(st.st_uid, ::geteuid());
    QCOMPARE(int(st.st_mode & 07777), 0644);
    QCOMPARE(int(st.st_nlink), 1);
    // The placed file is still there when the configuration is written, so its inode is not
    // free for reuse; the swapped one was removed before.
    if (placing != "swapped")
        QVERIFY(st.st_ino != placedStat.st_ino);
    if (placing == "hard link")
        QCOMPARE(QFile(outsideFile).size(), qint64(release.offeredConfig.size()));
    if (placing == "name taken")
        QCOMPARE(release.inst.read("config/.UpdateCfg.xml.~1"), leftover);
#endif
}

void tst_Signing::keyRotationOverThreeReleases()
{
    const Key first = newKey();
    const Key second = newKey();
    const Key third = newKey();
    Release release;
    release.inst.write("b.bin", installedB.toUtf8());
    release.inst.write(
        "config/UpdateCfg.xml",
        withKey(configXml("1.0", "app.bin", release.server.baseUrl(), {{"/b.bin", "old"}}),
                first.pub));

    // Offers b.bin with body as version, naming carried, signed by signer; returns the run's
    // message, "success" when it installed.
    const auto offer = [&](const QString& version, const QByteArray& body, const QString& carried,
                           const QByteArray& signer) {
        QFile out(release.served.path() + "/b.bin");
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QStringLiteral("cannot serve");
        out.write(body);
        out.close();
        const QByteArray xml = withKey(
            configXml(version, "app.bin", release.server.baseUrl(), {{"/b.bin", md5Of(body)}},
                      {{"/b.bin", QStringLiteral(" sha256=\"%1\"").arg(sha256Of(body))}}),
            carried);
        QString error;
        release.inst.write("update/UpdateCfg.xml", xml);
        release.inst.write("update/UpdateCfg.xml.sig", Signature::sign(signer, xml, &error));
        WorkerRun run;
        run.start();
        if (!run.waitFinished())
            return QStringLiteral("no end");
        if (run.ok && release.inst.read("config/UpdateCfg.xml") != xml)
            return QStringLiteral("installed another configuration");
        return run.msg;
    };

    // Each release is signed by the key its predecessor names and hands on to the next.
    QCOMPARE(offer("1.1", "b of 1.1", second.pub, first.pem), QStringLiteral("success"));
    QCOMPARE(release.inst.read("b.bin"), QByteArray("b of 1.1"));
    // The first key is no longer trusted once the second is installed.
    QCOMPARE(offer("1.2", "b of 1.2", third.pub, first.pem),
             QStringLiteral("更新配置文件签名无效"));
    QCOMPARE(release.inst.read("b.bin"), QByteArray("b of 1.1"));
    QCOMPARE(offer("1.2", "b of 1.2", third.pub, second.pem), QStringLiteral("success"));
    QCOMPARE(offer("1.3", "b of 1.3", third.pub, third.pem), QStringLiteral("success"));
    QCOMPARE(release.inst.read("b.bin"), QByteArray("b of 1.3"));
    QVERIFY(!release.inst.exists("update"));
}

void tst_Signing::unsignedInstallationOptsInWithOneSignedRelease()
{
    const Key key = newKey();
    {
        // An installation without a key takes an unsigned release as ever, whatever lies beside
        // it in update/.
        Release release;
        release.offer("/a.bin", bodyA);
        writeSigned(release, QString(), QString(), QByteArray());
        release.inst.write("update/UpdateCfg.xml.sig", "not a signature");
        WorkerRun run;
        run.start();
        QVERIFY(run.waitFinished());
        QVERIFY2(run.ok, qPrintable(run.msg));
        QCOMPARE(release.inst.read("a.bin"), bodyA);
    }

    Release release;
    offerSigned(release, "/a.bin", bodyA);
    writeSigned(release, QString(), key.pub, key.pem);
    {
        WorkerRun run;
        run.start();
        QVERIFY(run.waitFinished());
        QVERIFY2(run.ok, qPrintable(run.msg));
    }
    QCOMPARE(release.inst.read("config/UpdateCfg.xml"), release.offeredConfig);

    // From now on an unsigned release is refused.
    const QByteArray unsignedXml =
        configXml("1.2", "app.bin", release.server.baseUrl(), {{"/a.bin", md5Of("new a")}});
    release.inst.write("update/UpdateCfg.xml", unsignedXml);
    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    QVERIFY(!run.ok);
    QCOMPARE(run.msg, QStringLiteral("更新配置文件签名无效"));
    QCOMPARE(release.inst.read("a.bin"), bodyA);
}

QTEST_MAIN(tst_Signing)
#include "tst_signing.moc"
