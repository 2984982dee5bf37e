#include "PluginHost.h"

#include <QMutex>
#include <QMutexLocker>
#include <QVector>

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

namespace e2e {

QString pluginPath()
{
    return QStringLiteral(VESKOR_PLUGIN_PATH);
}

GetSharedLibraryFn entryPoint()
{
    static const GetSharedLibraryFn fn = [] {
        void *handle = dlopen(VESKOR_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            std::fprintf(stderr, "cannot load %s: %s\n", VESKOR_PLUGIN_PATH, dlerror());
            std::abort();
        }
        void *sym = dlsym(handle, "getSharedLibrary");
        if (!sym) {
            std::fprintf(stderr, "%s has no getSharedLibrary: %s\n", VESKOR_PLUGIN_PATH, dlerror());
            std::abort();
        }
        return reinterpret_cast<GetSharedLibraryFn>(sym);
    }();
    return fn;
}

namespace {
QMutex g_heldLock;
QVector<CDriveBaseClass *> *g_held = new QVector<CDriveBaseClass *>;
} // namespace

Driver::Driver() : m_drv(entryPoint()())
{
    QMutexLocker lock(&g_heldLock);
    g_held->append(m_drv);
}

Driver::~Driver()
{
    m_drv->DestroyFree();
}

} // namespace e2e
