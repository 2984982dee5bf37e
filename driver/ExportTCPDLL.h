// The plug-in's entry point.
#ifndef VESKOR_EXPORTTCPDLL_H
#define VESKOR_EXPORTTCPDLL_H

#include "host/CDriveBaseClass.h"

#define VESKOR_EXPORT __attribute__((visibility("default")))

// Builds a new driver object and hands the host its interface. Never null.
extern "C" VESKOR_EXPORT CDriveBaseClass *getSharedLibrary();

#endif
