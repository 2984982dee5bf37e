// Host runtime declarations shared with device drivers.
// Shipped by the host vendor to driver writers; do not change layouts or values.
#ifndef HOST_DATATYPE_H
#define HOST_DATATYPE_H

#include <cstdint>

// Tag data types, passed by value as a 32-bit integer. The host knows codes
// up to 40; drivers name the first twelve.
enum DataType : std::int32_t {
    DT_NONE = 0,
    DT_BOOL = 1,
    DT_INT8 = 2,
    DT_UINT8 = 3,
    DT_INT16 = 4,
    DT_UINT16 = 5,
    DT_INT32 = 6,
    DT_UINT32 = 7,
    DT_FLOAT = 8,
    DT_INT64 = 9,
    DT_UINT64 = 10,
    DT_DOUBLE = 11,
    DT_STRING = 12,
    // Host codes 13 to 40 carry no driver meaning beyond their numbers.
    DT_HOST_13 = 13,
    DT_HOST_14 = 14,
    DT_HOST_22 = 22,
    DT_HOST_LAST = 40
};

// Commands for CDriveBaseClass::DebugCmd.
enum EDebugCmdType : std::int32_t {
    StartDebug = 0,
    StopDebug = 1,
    BuildVersion = 2,
    DriveName = 3
};

#endif
