// Runs the built veskor program, or another one built with it (under the
// cross-compiling emulator when there is one), and collects its exit status
// and output.
//
// The child is started with posix_spawn rather than QProcess: under user-mode
// QEMU a QProcess child dies before it runs, while posix_spawn works there
// as it does natively.
#ifndef VESKOR_TESTS_TOOLPROCESS_H
#define VESKOR_TESTS_TOOLPROCESS_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// The environment the tool runs in: the test's own, without VESKOR_PLUGIN, so
// the tool finds the plug-in built with it.
inline QProcessEnvironment toolEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("VESKOR_PLUGIN"));
    return env;
}

class ToolProcess
{
public:
    explicit ToolProcess(const QString &program = QString::fromUtf8(VESKOR_TOOL_EXE)) : m_program(program) {}
    ToolProcess(const ToolProcess &) = delete;
    ToolProcess &operator=(const ToolProcess &) = delete;
    ~ToolProcess()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            reap(true);
        }
        closeFd(m_outFd);
        closeFd(m_errFd);
    }

    bool start(const QStringList &args, const QProcessEnvironment &env = toolEnvironment())
    {
        QStringList command = QString::fromUtf8(VESKOR_TOOL_EMULATOR).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        command << m_program << args;

        int outPipe[2], errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0)
            return fail("pipe");
        if (::pipe2(errPipe, O_CLOEXEC) != 0) {
            ::close(outPipe[0]);
            ::close(outPipe[1]);
            return fail("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (stdoutFile.isEmpty())
            posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        else
            posix_spawn_file_actions_addopen(&actions, 1, stdoutFile.constData(), O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);

        std::vector<QByteArray> argBytes, envBytes;
        for (const QString &a : command)
            argBytes.push_back(QFile::encodeName(a));
        for (const QString &e : env.toStringList())
            envBytes.push_back(e.toLocal8Bit());
        std::vector<char *> argv, envp;
        for (QByteArray &a : argBytes)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (QByteArray &e : envBytes)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        const int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        m_outFd = outPipe[0];
        m_errFd = errPipe[0];
        if (rc != 0) {
            m_pid = -1;
            error = QStringLiteral("%1 did not start: %2").arg(command.first(), QString::fromLocal8Bit(std::strerror(rc)));
            return false;
        }
        return true;
    }

    // Reads what arrives within timeoutMs; false once both outputs are closed.
    bool readSome(int timeoutMs)
    {
        pollfd fds[2];
        int n = 0;
        if (m_outFd >= 0)
            fds[n++] = {m_outFd, POLLIN, 0};
        if (m_errFd >= 0)
            fds[n++] = {m_errFd, POLLIN, 0};
        if (n == 0)
            return false;
        const int ready = ::poll(fds, nfds_t(n), timeoutMs);
        if (ready < 0 && errno != EINTR)
            return false;
        for (int i = 0; i < n && ready > 0; ++i) {
            if (!fds[i].revents)
                continue;
            char buf[4096];
            const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            QByteArray &sink = fds[i].fd == m_outFd ? out : err;
            int &fd = fds[i].fd == m_outFd ? m_outFd : m_errFd;
            if (got > 0)
                sink.append(buf, int(got));
            else if (got == 0 || (errno != EINTR && errno != EAGAIN))
                closeFd(fd);
        }
        return m_outFd >= 0 || m_errFd >= 0;
    }

    // Reads to the end of both outputs and reaps the child. The limit only
    // guards against a hang; past it the child is killed.
    bool waitForFinished(int limitMs = 120000)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < limitMs && readSome(200)) {
        }
        while (m_pid > 0 && clock.elapsed() < limitMs) {
            if (reap(false))
                break;
            QThread::msleep(10);
        }
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            reap(true);
            error = QStringLiteral("the tool did not end within %1 ms").arg(limitMs);
            return false;
        }
        if (!normalExit) {
            error = QStringLiteral("the tool ended by signal %1; stderr: %2").arg(exitCode).arg(QString::fromUtf8(err));
            return false;
        }
        return true;
    }

    bool sendSignal(int sig) { return m_pid > 0 && ::kill(m_pid, sig) == 0; }
    bool running() const { return m_pid > 0; }

    QByteArray stdoutFile;      // set before start(): stdout goes there (such as /dev/full), not to `out`
    QByteArray out;
    QByteArray err;
    int exitCode = -1;          // the status, or the signal when !normalExit
    bool normalExit = false;
    QString error;

private:
    bool fail(const char *what)
    {
        error = QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    static void closeFd(int &fd)
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    bool reap(bool block)
    {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, block ? 0 : WNOHANG);
        if (r != m_pid)
            return false;
        m_pid = -1;
        normalExit = WIFEXITED(status);
        exitCode = normalExit ? WEXITSTATUS(status) : WTERMSIG(status);
        return true;
    }

    QString m_program;
    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
};

struct ToolRun {
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QString error;       // why the run did not finish normally
    QString outText() const { return QString::fromUtf8(out); }
    QString errText() const { return QString::fromUtf8(err); }
    QStringList outLines() const
    {
        return QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
};

// What veskor says on stderr, once, when it runs against its embedded
// simulator without --quiet.
inline QString embeddedNote()
{
    return QStringLiteral("veskor: no --connect: the commands go to a built-in simulator that lives for "
                          "this run only (values written do not persist; --quiet hides this note)\n");
}

// The port a started veskor-sim says it listens on ("veskor-sim listening
// on ADDR:PORT"); 0 when it does not say so within a minute.
inline quint16 listeningPort(ToolProcess &sim)
{
    QElapsedTimer clock;
    clock.start();
    const QByteArray marker("veskor-sim listening on ");
    while (clock.elapsed() < 60000) {
        const int at = sim.out.indexOf(marker);
        const int end = at < 0 ? -1 : sim.out.indexOf('\n', at);
        if (end > 0) {
            const QByteArray endpoint = sim.out.mid(at + marker.size(), end - at - marker.size());
            return quint16(endpoint.mid(endpoint.lastIndexOf(':') + 1).toUInt());
        }
        if (!sim.readSome(200))
            break;
    }
    return 0;
}

// Runs the tool to its end; with a stdoutFile, its standard output goes there.
inline ToolRun runTool(const QStringList &args, const QProcessEnvironment &env = toolEnvironment(),
                       const QByteArray &stdoutFile = QByteArray())
{
    ToolProcess p;
    p.stdoutFile = stdoutFile;
    ToolRun r;
    if (!p.start(args, env)) {
        r.error = p.error;
        return r;
    }
    r.finished = p.waitForFinished();
    r.exitCode = p.exitCode;
    r.out = p.out;
    r.err = p.err;
    r.error = p.error;
    return r;
}

#endif
