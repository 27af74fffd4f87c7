#pragma once

// The encoded forms a release offers for one file, in document order. Most files of a large
// manifest carry none, and one is kept per managed file, so an empty list is a single null
// pointer; a list with forms is shared between copies and copied only when one of them changes.

#include "config/fileform.h"

#include <QList>
#include <QSharedData>
#include <QSharedDataPointer>

class FileFormList
{
public:
    FileFormList() = default;
    FileFormList(const QList<FileForm>& forms);

    bool isEmpty() const { return !d; }
    qsizetype size() const { return d ? d->forms.size() : 0; }
    const FileForm& at(qsizetype index) const { return d->forms.at(index); }
    QList<FileForm>::const_iterator begin() const;
    QList<FileForm>::const_iterator end() const;
    void append(const FileForm& form);
    QList<FileForm> toList() const { return d ? d->forms : QList<FileForm>(); }
    operator QList<FileForm>() const { return toList(); }

    bool operator==(const FileFormList& other) const;
    bool operator!=(const FileFormList& other) const { return !(*this == other); }

private:
    struct Data : QSharedData {
        QList<FileForm> forms;
    };
    QSharedDataPointer<Data> d;
};
