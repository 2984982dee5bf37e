// Uses an installed LibVESKOR as a host does: the value record's members
// through the link-time library, the driver object through dlopen and
// getSharedLibrary(). Prints each check and exits non-zero on the first miss.
#include <CDriveBaseClass.h>
#include <CLabelVariable.h>
#include <DataType.h>

#include <QList>
#include <QString>
#include <QVariant>

#include <dlfcn.h>

#include <cstdio>

namespace {

int failures = 0;

void check(bool ok, const char *what, const QString &detail = QString())
{
    std::printf("%s: %s%s%s\n", ok ? "ok" : "FAILED", what, detail.isEmpty() ? "" : " -- ",
                qPrintable(detail));
    if (!ok)
        ++failures;
}

// The host keeps the driver object for its whole life (the interface has no
// destructor); a global keeps it reachable for the leak checker too.
CDriveBaseClass *g_driver = nullptr;

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s <path to libLibVESKOR.so.1> [<controller address:port>]\n", argv[0]);
        return 2;
    }

    // Exported record members, resolved by the dynamic linker from the
    // installed library.
    CLabelVariable v;
    v.value = QVariant::fromValue(QList<short>{1, 2, 3});
    v.dataType = DT_INT16;
    v.elementCount = 3;
    const short third = v.atInt16(2);
    check(third == 3 && v.accessStatus == 0, "atInt16(2) of {1,2,3}",
          QStringLiteral("value %1, accessStatus %2").arg(third).arg(v.accessStatus));
    v.atInt16(3);
    check(v.accessStatus == 10, "atInt16(3) is out of range",
          QStringLiteral("accessStatus %1").arg(v.accessStatus));
    CLabelVariable sum = v + v;
    const short sumThird = sum.atInt16(2);
    check(sumThird == 6 && sum.accessStatus == 0, "({1,2,3} + {1,2,3}).atInt16(2)",
          QStringLiteral("value %1, accessStatus %2").arg(sumThird).arg(sum.accessStatus));
    CLabelVariable same(v);
    check(same == v, "a copy compares equal");

    // The driver object, found the way the host finds it.
    void *handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    check(handle != nullptr, "dlopen", handle ? QString() : QString::fromLocal8Bit(dlerror()));
    if (!handle)
        return 1;
    auto getShared = reinterpret_cast<GetSharedLibraryFn>(dlsym(handle, "getSharedLibrary"));
    check(getShared != nullptr, "dlsym(getSharedLibrary)");
    if (!getShared)
        return 1;
    g_driver = getShared();
    check(g_driver != nullptr, "getSharedLibrary() returns a driver");
    if (!g_driver)
        return 1;
    const QString name = g_driver->getDriveName();
    check(name == QLatin1String("Oxbrin"), "getDriveName()", name);
    std::printf("driver version: %s\n", qPrintable(g_driver->getversion_number()));

    // With a controller: write a tag, then read it back.
    if (argc == 3) {
        const int rc = g_driver->ConnectDrive(QString::fromLocal8Bit(argv[2]));
        check(rc == 0, "ConnectDrive", QString::fromLocal8Bit(argv[2]));
        CLabelVariable out;
        out.value = QVariant::fromValue(QList<short>{1234, -5});
        const CLabelVariable w = g_driver->WriteVariable(QStringLiteral("ID4x10"), DT_INT16, out, 2);
        check(w.resultCode == 0, "WriteVariable(ID4x10, int16 {1234, -5})",
              QStringLiteral("resultCode %1").arg(w.resultCode));
        const CLabelVariable r = g_driver->ReadVariable(QStringLiteral("ID4x10"), DT_INT16, 2);
        const QList<short> got = r.value.value<QList<short>>();
        check(r.resultCode == 0 && got == QList<short>({1234, -5}), "ReadVariable(ID4x10, int16, 2)",
              QStringLiteral("resultCode %1, %2 values").arg(r.resultCode).arg(got.size()));
    }

    std::printf("%d check(s) failed\n", failures);
    return failures == 0 ? 0 : 1;
}
