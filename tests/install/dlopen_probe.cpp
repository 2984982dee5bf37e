// Loads a driver plug-in from the path given, as the host runtime does, and
// prints the driver's name and version. Exit code 0 only when the name is the
// one given as the second argument.
#include <CDriveBaseClass.h>

#include <QString>

#include <dlfcn.h>

#include <cstdio>

static CDriveBaseClass *g_driver = nullptr; // kept for the process's life, as a host does

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <plug-in path> <expected driver name>\n", argv[0]);
        return 2;
    }
    void *handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "dlopen failed: %s\n", dlerror());
        return 1;
    }
    auto getShared = reinterpret_cast<GetSharedLibraryFn>(dlsym(handle, "getSharedLibrary"));
    if (!getShared) {
        std::fprintf(stderr, "no getSharedLibrary in %s\n", argv[1]);
        return 1;
    }
    g_driver = getShared();
    if (!g_driver) {
        std::fprintf(stderr, "getSharedLibrary() returned null\n");
        return 1;
    }
    const QString name = g_driver->getDriveName();
    std::printf("driver name: %s\ndriver version: %s\n", qPrintable(name),
                qPrintable(g_driver->getversion_number()));
    return name == QString::fromLocal8Bit(argv[2]) ? 0 : 1;
}
