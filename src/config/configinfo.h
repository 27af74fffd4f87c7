#pragma once

// The contents of one UpdateCfg.xml: the release's version, main executable and download server,
// the ignored paths, and the managed files (path -> md5 text) in path order.

#include "config/fileattributemap.h"
#include "config/filemap.h"

#include <QMetaType>
#include <QString>
#include <QStringList>

class ConfigInfo
{
public:
    QString version;
    QString main;
    QString server;
    // The release's Ed25519 public key (base64), empty when unsigned. Once installed, the next
    // release must be signed by it.
    QString publicKey;
    // Whether installing this release removes (into backup/) the files the installed release
    // manages and this one no longer lists: prune="1" on info.
    bool prune = false;
    QStringList ignoreList;
    FileMap fileMap;
    QStringList fileList;
    // The size, exec and sha256 attributes of managed files, only for paths whose (last) managed
    // element carries at least one of them.
    FileAttributeMap fileAttributes;
    // In a difference (diffConfig) of a pruning release: the installed release's files that this
    // one drops, in path order.
    QStringList droppedPaths;

    // Appends the keys of fileMap, in map order, to fileList (which it does not clear).
    void buildFileList();
    // The entry of fileList at index, or an empty string past the end.
    QString fileAt(int index) const;
    // Writes the record to the log: label, version and main, file count, one line per file.
    void print() const;
};

Q_DECLARE_METATYPE(ConfigInfo)
