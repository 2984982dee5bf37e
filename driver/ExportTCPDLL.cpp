#include "driver/ExportTCPDLL.h"

#include "driver/libVESKOR.h"

extern "C" VESKOR_EXPORT CDriveBaseClass *getSharedLibrary()
{
    return new LibVESKORS;
}
