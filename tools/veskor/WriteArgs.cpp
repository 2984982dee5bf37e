#include "WriteArgs.h"

#include "common/Scaling.h"
#include "common/Values.h"
#include "common/WriteOverlap.h"

namespace veskortool {

// write --tags FILE NAME: the row of the file with that name, else with
// that tag.
bool tagFromFile(const QString &path, const QString &nameOrTag, Command *cmd, TagRequest *out, QString *error)
{
    if (!readTagFile(path, &cmd->fileTags, error))
        return false;
    cmd->tagFile = path;
    for (const bool byName : {true, false}) {
        for (const TagRequest &t : qAsConst(cmd->fileTags)) {
            if ((byName ? t.name : t.tag) == nameOrTag) {
                *out = t;
                return true;
            }
        }
    }
    *error = QStringLiteral("%1 is no name or tag of %2").arg(quoted(nameOrTag), path);
    return false;
}

// The values a write sends: as given, or for a scaled tag each engineering
// value's raw value, refused when the controller cannot hold it exactly.
bool sentTexts(const TagRequest &r, const QStringList &values, QStringList *out, QString *error)
{
    if (r.scaling.isIdentity()) {
        *out = values;
        return true;
    }
    for (const QString &v : values) {
        QString raw, why;
        if (!rawTextForValue(v, r.type, r.scaling, &raw, &why)) {
            *error = QStringLiteral("value %1 of %2: %3")
                         .arg(quoted(v), r.name.isEmpty() ? r.tag : r.name)
                         .arg(why);
            return false;
        }
        *out << raw;
    }
    return true;
}

// One warning for the tags the write commands name that meet, and one for
// each tag file a write reads whose rows meet.
void warnOverlaps(Options *o)
{
    QVector<TagRequest> written;
    QStringList files;
    for (const Command &c : qAsConst(o->commands)) {
        if (c.kind != Command::Write)
            continue;
        written << c.tags.first();
        if (!c.tagFile.isEmpty() && !files.contains(c.tagFile)) {
            files << c.tagFile;
            const QString w = writeOverlapWarning(c.fileTags, c.tagFile);
            if (!w.isEmpty())
                o->warnings << w;
        }
    }
    const QString w = writeOverlapWarning(written, QString());
    if (!w.isEmpty())
        o->warnings << w;
}

} // namespace veskortool
