// Runs the built veskor program (under the cross-compiling emulator when
// there is one) and collects its exit status and output.
#ifndef VESKOR_TESTS_TOOLPROCESS_H
#define VESKOR_TESTS_TOOLPROCESS_H

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

struct ToolRun {
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QString outText() const { return QString::fromUtf8(out); }
    QString errText() const { return QString::fromUtf8(err); }
    QStringList outLines() const
    {
        return QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
};

// The environment the tool runs in: the test's own, without VESKOR_PLUGIN, so
// the tool finds the plug-in built with it.
inline QProcessEnvironment toolEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("VESKOR_PLUGIN"));
    return env;
}

// Sets up `p` to start the tool with these arguments.
inline void prepareTool(QProcess &p, const QStringList &args,
                        const QProcessEnvironment &env = toolEnvironment())
{
    QStringList command = QString::fromUtf8(VESKOR_TOOL_EMULATOR).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    command << QString::fromUtf8(VESKOR_TOOL_EXE) << args;
    p.setProgram(command.takeFirst());
    p.setArguments(command);
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::SeparateChannels);
}

// Runs the tool to its end. The limit only guards against a hang.
inline ToolRun runTool(const QStringList &args, const QProcessEnvironment &env = toolEnvironment())
{
    QProcess p;
    prepareTool(p, args, env);
    p.start();
    ToolRun r;
    if (!p.waitForStarted(30000))
        return r;
    p.closeWriteChannel();
    r.finished = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit;
    if (!r.finished)
        p.kill();
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

#endif
