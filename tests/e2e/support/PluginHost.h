// What a host runtime does with the plug-in: load the shared library by path,
// look up getSharedLibrary and from then on talk to the object only through
// CDriveBaseClass.
#ifndef E2E_PLUGINHOST_H
#define E2E_PLUGINHOST_H

#include "CDriveBaseClass.h"

#include <QString>

namespace e2e {

// The plug-in's entry point; loads the library on first use and fails the
// process (with the loader's message) when it cannot be loaded.
GetSharedLibraryFn entryPoint();
QString pluginPath();

// One driver object as a host holds it. The interface offers no way to delete
// the object, so a host keeps it for the life of the process; here it is
// released with DestroyFree() and stays reachable from a process-wide list.
class Driver
{
public:
    Driver();
    ~Driver();
    Driver(const Driver &) = delete;
    Driver &operator=(const Driver &) = delete;

    CDriveBaseClass *get() const { return m_drv; }
    CDriveBaseClass *operator->() const { return m_drv; }

private:
    CDriveBaseClass *m_drv;
};

} // namespace e2e

#endif
