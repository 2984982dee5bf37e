// Host runtime declarations shared with device drivers.
// The interface a driver plug-in hands to the host from getSharedLibrary().
// The host calls the operations by slot: their order is binding.
#ifndef HOST_CDRIVEBASECLASS_H
#define HOST_CDRIVEBASECLASS_H

#include <QObject>
#include <QString>

#include "CLabelVariable.h"
#include "DataType.h"

class CDriveBaseClass
{
public:
    virtual QString getDriveName() = 0;                                  // slot 0
    virtual QString getversion_number() = 0;                             // slot 1
    virtual QString DebugCmd(EDebugCmdType cmd) = 0;                     // slot 2
    virtual int ConnectDrive(QString par) = 0;                           // slot 3
    virtual void SetConnectPar(QString par) = 0;                         // slot 4
    virtual int DisConnectDrive() = 0;                                   // slot 5
    virtual CLabelVariable ReadVariable(QString tag, DataType type) = 0; // slot 6
    virtual CLabelVariable ReadVariable(QString tag, DataType type, int count) = 0; // slot 7
    virtual CLabelVariable WriteVariable(QString tag, DataType type, CLabelVariable v) = 0; // slot 8
    virtual CLabelVariable WriteVariable(QString tag, DataType type, CLabelVariable v,
                                         int count) = 0;                 // slot 9
    virtual int DestroyFree() = 0;                                       // slot 10
};

#define CDriveBaseClass_iid "CDriveBaseClass"
Q_DECLARE_INTERFACE(CDriveBaseClass, CDriveBaseClass_iid)

// The one symbol a driver plug-in exports, with C linkage.
extern "C" {
typedef CDriveBaseClass *(*GetSharedLibraryFn)();
}

#endif
