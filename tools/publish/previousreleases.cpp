#include "previousreleases.h"

#include "config/configdiff.h"
#include "config/configreader.h"
#include "platform/messagepresenter.h"
#include "releasepublisher.h"

#include <QFile>
#include <QFileInfo>

namespace
{

bool fail(QString* error, const QString& message)
{
    *error = message;
    return false;
}

// Reading --previous goes through the updater's own reader, which reports a malformed file with
// a log line and a message box. Here both are caught and turned into the refusal's reason.
class PreviousReadCapture : public MessagePresenter
{
public:
    PreviousReadCapture() : m_previousPresenter(MessagePresenter::install(this))
    {
        current() = this;
        m_previousHandler = qInstallMessageHandler(&PreviousReadCapture::handler);
    }
    ~PreviousReadCapture() override
    {
        qInstallMessageHandler(m_previousHandler);
        current() = nullptr;
        MessagePresenter::install(m_previousPresenter);
    }
    void show(const QString&) override { m_failed = true; }
    bool failed() const { return m_failed; }
    QString reason() const { return m_reason; }

private:
    static PreviousReadCapture*& current()
    {
        static PreviousReadCapture* instance = nullptr;
        return instance;
    }
    static void handler(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        const QString label = QStringLiteral("read xml error:");
        if (PreviousReadCapture* self = current(); self && message.startsWith(label)) {
            QString reason = message.mid(label.size()).trimmed();
            if (reason.size() >= 2 && reason.startsWith(QLatin1Char('"')) &&
                reason.endsWith(QLatin1Char('"')))
                reason = reason.mid(1, reason.size() - 2);
            self->m_reason = reason;
        }
    }

    MessagePresenter* m_previousPresenter;
    QtMessageHandler m_previousHandler = nullptr;
    bool m_failed = false;
    QString m_reason;
};

} // namespace

bool PreviousReleases::read(const QStringList& paths, const QString& version,
                            QList<FormWriter::Earlier>* earlier, QString* error)
{
    earlier->clear();
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (!info.exists())
            return fail(
                error,
                QStringLiteral("previous configuration %1 does not exist").arg(quotedName(path)));
        QFile probe(path);
        if (!info.isFile() || !probe.open(QIODevice::ReadOnly))
            return fail(
                error,
                QStringLiteral("cannot read previous configuration %1").arg(quotedName(path)));
        probe.close();

        ConfigInfo previous;
        {
            PreviousReadCapture capture;
            previous = ConfigReader().read(path);
            if (capture.failed())
                return fail(error,
                            QStringLiteral("previous configuration %1 is not well-formed XML: %2")
                                .arg(quotedName(path), capture.reason()));
        }
        if (previous.version.isEmpty())
            return fail(
                error,
                QStringLiteral("previous configuration %1 has no version").arg(quotedName(path)));
        if (!parseVersion(previous.version))
            return fail(error,
                        QStringLiteral("previous version %1 in %2 cannot be read by the updater")
                            .arg(quotedName(previous.version), quotedName(path)));
        if (!isNewerVersion(version, previous.version))
            return fail(error,
                        QStringLiteral("version %1 is not newer than %2 of the previous release: "
                                       "the updater would find nothing to do")
                            .arg(version, previous.version));
        earlier->append({path, info.absolutePath(), std::move(previous)});
    }
    return true;
}
