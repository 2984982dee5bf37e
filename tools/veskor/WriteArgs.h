// What a write takes from a tag file: its row, the raw values of a scaled
// tag's engineering values, and the warnings for writes that land on other
// tags. Pure but for the tag file, which tagFromFile reads.
#ifndef VESKOR_TOOL_WRITEARGS_H
#define VESKOR_TOOL_WRITEARGS_H

#include "CommandLine.h"

namespace veskortool {

// write --tags FILE NAME: the row of the file with that name, else with
// that tag; the file and its rows go into cmd.
bool tagFromFile(const QString &path, const QString &nameOrTag, Command *cmd, TagRequest *out, QString *error);

// The value texts a write of r sends: values as given, or for a scaled tag
// each engineering value's raw value, refused when the controller cannot
// hold it exactly.
bool sentTexts(const TagRequest &r, const QStringList &values, QStringList *out, QString *error);

// One warning for the tags the write commands name that meet, and one for
// each tag file a write reads whose rows meet, into o->warnings.
void warnOverlaps(Options *o);

} // namespace veskortool

#endif
