// The driver object used the way panel runtimes use it: made on one thread
// (where getSharedLibrary ran), connected and polled from a worker thread.
// Every shape must give the same results as on one thread, with no Qt
// warning: a std::thread or a QThread, the making thread idle or running its
// event loop, and a process with no QCoreApplication at all (the same binary
// run with --without-app: its own CTest entry).
#include "E2E.h"
#include "driver/ResultCodes.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <thread>

using namespace e2e;

namespace {

constexpr int kReads = 2000;

std::atomic<int> g_messages{0};

void countMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg && type != QtInfoMsg) {
        ++g_messages;
        fprintf(stderr, "message: %s\n", qPrintable(text));
    }
}

// Read answers carry the request's sequence byte as their value; writes get
// their header back.
QByteArray answerOf(const QByteArray &request)
{
    if (request.startsWith("MR"))
        return readAnswer(request, QByteArray(1, request.at(4)));
    return request.left(11);
}

// What the host's worker does: connect, then poll a tag and write now and
// then. Returns the number of results that were not what the peer sent.
int work(CDriveBaseClass *drv, const QString &endpoint)
{
    int wrong = 0;
    if (drv->ConnectDrive(endpoint) != 0)
        return kReads;
    for (int i = 0; i < kReads; ++i) {
        const CLabelVariable r = drv->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8);
        // The driver's sequence starts at 1 and moves once per read.
        if (r.resultCode != veskor::RcDone || listIn<unsigned char>(r) != QList<unsigned char>{uchar(i + 1)})
            ++wrong;
        if (i % 100 == 99
            && drv->WriteVariable(QStringLiteral("ID4x0"), DT_UINT8, recordOf(QList<unsigned char>{1})).resultCode
                   != veskor::RcDone)
            ++wrong;
    }
    return wrong;
}

// The driver is made here; a std::thread uses it while this thread waits.
int runWithoutApp()
{
    qInstallMessageHandler(countMessage);
    int wrong = -1;
    {
        ScriptedPeer peer;
        peer.setDefault(answerOf);
        Driver d;
        std::thread worker([&] { wrong = work(d.get(), peer.endpoint()); });
        worker.join();
    }
    fprintf(stderr, "without QCoreApplication: %d wrong results, %d messages\n", wrong, g_messages.load());
    return wrong == 0 && g_messages == 0 ? 0 : 1;
}

} // namespace

class TestThreads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qInstallMessageHandler(countMessage); }
    void workerThread_data();
    void workerThread();
};

void TestThreads::workerThread_data()
{
    QTest::addColumn<QString>("shape");
    QTest::newRow("std::thread, making thread waits") << QStringLiteral("std-join");
    QTest::newRow("std::thread, making thread in its event loop") << QStringLiteral("std-loop");
    QTest::newRow("QThread, making thread in its event loop") << QStringLiteral("qthread-loop");
}

void TestThreads::workerThread()
{
    QFETCH(QString, shape);
    g_messages = 0;

    ScriptedPeer peer;
    peer.setDefault(answerOf);
    Driver d;
    std::atomic<int> wrong{-1};
    std::atomic<bool> done{false};
    const auto job = [&] {
        wrong = work(d.get(), peer.endpoint());
        done = true;
    };

    if (shape == QLatin1String("std-join")) {
        std::thread worker(job);
        worker.join();
    } else {
        std::thread stdWorker;
        QThread *qWorker = nullptr;
        if (shape == QLatin1String("qthread-loop")) {
            qWorker = QThread::create(job);
            qWorker->start();
        } else {
            stdWorker = std::thread(job);
        }
        // The making thread runs its loop meanwhile, as a panel's GUI thread does.
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (done)
                loop.quit();
        });
        poll.start(5);
        loop.exec();
        if (qWorker) {
            qWorker->wait();
            delete qWorker;
        } else {
            stdWorker.join();
        }
        QCoreApplication::processEvents();
    }
    QCOMPARE(wrong.load(), 0);
    QCOMPARE(g_messages.load(), 0);

    // Back on the making thread, the same object goes on working.
    const CLabelVariable r = d->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8);
    QCOMPARE(r.resultCode, int(veskor::RcDone));
    QCOMPARE(listIn<unsigned char>(r), QList<unsigned char>{uchar((kReads + 1) & 0xff)});
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--without-app") == 0)
        return runWithoutApp();
    QCoreApplication app(argc, argv);
    TestThreads test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_e2e_threads.moc"
