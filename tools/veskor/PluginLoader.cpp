#include "PluginLoader.h"

#include "host/CDriveBaseClass.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <dlfcn.h>

namespace veskortool {

namespace {

const char kSoname[] = "libLibVESKOR.so.1";

} // namespace

QVector<PluginCandidate> pluginCandidates(const PluginSearch &s)
{
    QVector<PluginCandidate> out;
    if (!s.optionPath.isEmpty()) {
        out.append({s.optionPath, QStringLiteral("--plugin"), true});
        return out;
    }
    if (!s.envPath.isEmpty()) {
        out.append({s.envPath, QStringLiteral("VESKOR_PLUGIN"), true});
        return out;
    }
    if (s.inBuildTree && !s.builtPath.isEmpty())
        out.append({s.builtPath, QStringLiteral("build tree"), false});
    out.append({QString::fromLatin1(kSoname), QStringLiteral("loader path"), false});
    QStringList dirs;
    if (!s.libDirName.isEmpty())
        dirs << s.libDirName;
    if (!dirs.contains(QStringLiteral("lib")))
        dirs << QStringLiteral("lib");
    for (const QString &d : dirs) {
        const QString path = QDir::cleanPath(s.exeDir + QStringLiteral("/../") + d + QLatin1Char('/')
                                             + QString::fromLatin1(kSoname));
        out.append({path, QStringLiteral("../") + d, false});
    }
    return out;
}

bool loadPlugin(const QVector<PluginCandidate> &candidates, LoadedPlugin *out, QString *error)
{
    QStringList failures;
    for (const PluginCandidate &c : candidates) {
        void *handle = dlopen(QFile::encodeName(c.path).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char *text = dlerror();
            // The loader's text begins with the path: it is named once.
            QString why = QString::fromLocal8Bit(text ? text : "not loaded");
            if (why.startsWith(c.path + QLatin1String(": ")))
                why = why.mid(c.path.size() + 2);
            failures << QStringLiteral("%1 (%2): %3").arg(c.path, c.origin, why);
            continue;
        }
        dlerror();
        void *sym = dlsym(handle, "getSharedLibrary");
        if (!sym) {
            failures << QStringLiteral("%1 (%2): no getSharedLibrary entry point").arg(c.path, c.origin);
            dlclose(handle);
            continue;
        }
        const GetSharedLibraryFn fn = reinterpret_cast<GetSharedLibraryFn>(sym);
        CDriveBaseClass *driver = fn();
        if (!driver) {
            failures << QStringLiteral("%1 (%2): getSharedLibrary returned no driver").arg(c.path, c.origin);
            continue;
        }
        out->handle = handle;
        out->driver = driver;
        out->path = c.path;
        return true;
    }
    if (candidates.size() == 1 && candidates.first().explicitChoice)
        *error = QStringLiteral("cannot load the plug-in %1").arg(failures.value(0));
    else
        *error = QStringLiteral("cannot find the plug-in (use --plugin PATH or VESKOR_PLUGIN); tried %1")
                     .arg(failures.join(QStringLiteral("; ")));
    return false;
}

} // namespace veskortool
