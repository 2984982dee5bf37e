// Finding and loading the driver plug-in as a host does: dlopen, then the one
// exported entry point getSharedLibrary().
#ifndef VESKOR_TOOL_PLUGINLOADER_H
#define VESKOR_TOOL_PLUGINLOADER_H

#include <QString>
#include <QVector>

class CDriveBaseClass;

namespace veskortool {

struct PluginCandidate {
    QString path;        // a file path, or a bare soname for the loader's search
    QString origin;      // "--plugin", "VESKOR_PLUGIN", "build tree", ...
    bool explicitChoice; // chosen by the user: no fallback when it fails
};

struct PluginSearch {
    QString optionPath;  // --plugin
    QString envPath;     // $VESKOR_PLUGIN
    QString builtPath;   // the library built with this program ("" when none)
    bool inBuildTree = false; // this program runs from its build directory
    QString exeDir;      // directory of this program
    QString libDirName;  // install library directory relative to the prefix ("lib", "lib/x86_64-linux-gnu")
};

// The candidates in the order they are tried: --plugin alone, else
// $VESKOR_PLUGIN alone, else the built library (from the build tree only),
// the soname through the loader's path, then <exeDir>/../<libDirName>/ and
// <exeDir>/../lib/.
QVector<PluginCandidate> pluginCandidates(const PluginSearch &s);

struct LoadedPlugin {
    void *handle = nullptr;
    CDriveBaseClass *driver = nullptr;
    QString path;
};

// Loads the first candidate that opens and exports getSharedLibrary, and
// asks it for the driver object. The library stays loaded for the life of the
// process. On failure *error says what was tried and why it failed.
bool loadPlugin(const QVector<PluginCandidate> &candidates, LoadedPlugin *out, QString *error);

} // namespace veskortool

#endif
