// The tag file that the veskor tool's --tags and the gateway's tag lists
// name, and the TAG TYPE [COUNT] words both read: a tag, its data type and
// its element count. Pure parsing but for readTagFile, which reads the file.
#ifndef VESKOR_TOOLS_TAGFILE_H
#define VESKOR_TOOLS_TAGFILE_H

#include "common/Scaling.h"

#include <QByteArray>
#include <QString>
#include <QVector>

namespace veskortool {

struct TagRequest {
    QString tag;
    int type = 0;
    int count = 1;
    QString name;              // from a tag file; empty when none
    QString controller;        // from a tag file's controller column (HOST:PORT); empty: --connect's
    // A tag file's further columns, as the gateway takes them.
    bool writable = false;     // writable: true/false, 1/0, yes/no; empty: false
    double deadband = 0;       // deadband: a number 0 or more
    Scaling scaling;           // scale, offset (checked with checkScaling) and unit
    int line = 0;              // the line of the tag file it stands on; 0: not from a file
};

// A tag as given: any text that is not blank ("empty tag" otherwise).
bool parseTag(const QString &text, QString *tag, QString *error);

// A tag, its type (parseType) and, when countText is given, its count
// (parseCount); the count is 1 without it.
bool parseTagRequest(const QString &tagText, const QString &typeText, const QString *countText,
                     TagRequest *out, QString *error);

// A tag file: CSV with a header line naming the columns tag, type, count
// (optional, default 1) and the optional name, controller, writable,
// deadband, scale, offset and unit, in any order; empty lines and
// lines starting with '#' are skipped; fields may be double-quoted. The
// fields are separated by ',' or ';', the one the header line uses; the
// other one in a tag, type or count is refused as a mixed file. It is
// UTF-8 text: a NUL byte or a byte that is not UTF-8 is refused, and so is
// a file of more than kTagFileMaxBytes or a line of more than
// kTagFileMaxLineBytes. False with "FILE:LINE: reason" (or "FILE: reason")
// in *error for the first problem; the tags before it are in *out then.
constexpr qint64 kTagFileMaxBytes = 16 * 1024 * 1024;
constexpr int kTagFileMaxLineBytes = 4096;
bool parseTagFile(const QString &path, const QByteArray &contents, QVector<TagRequest> *out,
                  QString *error);
// The same, read from the file at path in blocks: a pipe or a device too,
// of which no more than the bound is read.
bool readTagFile(const QString &path, QVector<TagRequest> *out, QString *error);

} // namespace veskortool

#endif
