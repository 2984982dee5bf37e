// A row of a controller's tag_file as one of its tags. Pure but for the
// host name a controller column may hold, which is resolved as connect is.
#ifndef VESKOR_GATEWAY_TAGFILEROWS_H
#define VESKOR_GATEWAY_TAGFILEROWS_H

#include "Config.h"
#include "common/TagFile.h"

#include <QHash>

namespace veskorgw {

// The tag of row r for controller c: name, tag, type, count, writable,
// deadband and scaling as the file has them. False with the reason when
// the row's controller column names another controller (one that is
// neither c's connect as written nor the same address and port once
// resolved) or its scaling is none for its type; the area, address and
// bytes are left to the checks every tag goes through. `verdicts` keeps
// what each controller text was found to be, so that a file of many rows
// resolves a host name once.
bool tagFromRow(const veskortool::TagRequest &r, const ControllerConfig &c, TagConfig *t, QString *why,
                QHash<QString, bool> *verdicts);

// Whether a tag file's controller column (HOST:PORT) names c.
bool sameController(const QString &column, const ControllerConfig &c);

} // namespace veskorgw

#endif
