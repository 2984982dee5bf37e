#include "ExportTCPDLL.h"

#include "libVESKOR.h"

extern "C" VESKOR_EXPORT CDriveBaseClass *getSharedLibrary()
{
    return new LibVESKORS;
}
