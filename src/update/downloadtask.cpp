#include "update/downloadtask.h"

#include <QFile>
#include <QNetworkReply>

DownloadTask::DownloadTask() : file(new QFile) {}

DownloadTask::~DownloadTask()
{
    delete file;
    file = nullptr;
    if (reply)
        reply->deleteLater();
    reply = nullptr;
}
