#include "TagFileRows.h"

#include "common/HostPort.h"
#include "common/Resolve.h"
#include "common/Values.h"

#include <QHostAddress>

namespace veskorgw {

bool sameController(const QString &column, const ControllerConfig &c)
{
    if (column == c.connectText)
        return true;
    veskortools::HostPort address;
    QHostAddress numeric;
    QString error;
    return !c.connect.isEmpty()
           && veskortools::parseHostPort(column, veskortools::kAddressForm, &address) == veskortools::HostPortError::None
           && veskortools::resolveIPv4(address.host, &numeric, &error)
           && QStringLiteral("%1:%2").arg(numeric.toString()).arg(address.port) == c.connect;
}

bool tagFromRow(const veskortool::TagRequest &r, const ControllerConfig &c, TagConfig *t, QString *why,
                QHash<QString, bool> *verdicts)
{
    if (!r.controller.isEmpty() && !verdicts->contains(r.controller))
        verdicts->insert(r.controller, sameController(r.controller, c));
    if (!r.controller.isEmpty() && !verdicts->value(r.controller)) {
        *why = QStringLiteral("the row is for the controller %1, this is %2 (%3)")
                   .arg(veskortool::quoted(r.controller), shownName(c.name), c.connectText);
        return false;
    }
    t->name = r.name;
    t->tag = r.tag;
    t->type = r.type;
    t->count = r.count;
    t->writable = r.writable;
    t->deadband = r.deadband;
    t->scaling = r.scaling;   // checked with every tag's other rules (finishTag)
    return true;
}

} // namespace veskorgw
