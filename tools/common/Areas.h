// The driver's area table (driver/Tags.h) looked up by code, for the tools
// that name an area in their output: one loop over the table.
#ifndef VESKOR_TOOLS_AREAS_H
#define VESKOR_TOOLS_AREAS_H

#include "driver/Tags.h"

namespace veskortools {

// The table's entry of an area code ("ID4x" for 0x30008200); null for a
// code the table does not hold.
inline const veskor::AreaEntry *areaByCode(quint32 code)
{
    int n = 0;
    const veskor::AreaEntry *table = veskor::areaTable(&n);
    for (int i = 0; i < n; ++i)
        if (table[i].code == code)
            return &table[i];
    return nullptr;
}

} // namespace veskortools

#endif
