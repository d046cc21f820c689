// The pixavella-names binary end to end: started as a process on a SQLite file, asking the
// Immich double over HTTP, stopped by a signal. Routing and refusals are TestNamesServer's,
// storage TestNameStorage's, the command line TestServiceStartup's.

#include "ImmichDoubleProcess.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <httplib.h>

#include <csignal>
#include <sys/prctl.h>

using namespace pixavella::testing;
using namespace Qt::StringLiterals;

namespace {

// The built service on 127.0.0.1 at a free port, killed if the test leaves it running.
class Service {
public:
    ~Service()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    bool start(const QStringList& args)
    {
        m_process.setArguments(QStringList{u"--listen=127.0.0.1:0"_s} + args);
        m_process.setProgram(QStringLiteral(NAMES_SERVICE_EXECUTABLE));
        // A crashed test must not leave a service behind; its log shows in the test's output.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QIODevice::ReadOnly);
        static const QRegularExpression listening(u"^listening on [\\d.]+:(\\d+)$"_s);
        const QDeadlineTimer deadline(30000);
        while (m_process.waitForReadyRead(int(deadline.remainingTime()))) {
            while (m_process.canReadLine()) {
                const auto match =
                    listening.match(QString::fromUtf8(m_process.readLine()).trimmed());
                if (match.hasMatch())
                    return (m_port = quint16(match.captured(1).toUInt())) != 0;
            }
        }
        return false;
    }
    // SIGTERM; the exit code, or -1 when it crashed or did not exit.
    int stop()
    {
        m_process.terminate();
        const bool ended = m_process.waitForFinished(30000);
        return ended && m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    // The answer's status and body; 0 when none came.
    std::pair<int, QJsonObject> send(const char* method, const char* key,
                                     const std::string& tail = {}, const std::string& body = {})
    {
        httplib::Client client("127.0.0.1", m_port);
        client.set_read_timeout(60);
        httplib::Request request;
        request.method = method;
        request.path = "/pixavella-names/names" + tail;
        request.set_header("x-api-key", key);
        request.set_header("Content-Type", "application/json");
        request.body = body;
        const auto result = client.send(request);
        if (!result)
            return {0, {}};
        return {result->status, QJsonDocument::fromJson(result->body.c_str()).object()};
    }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace

class TestNamesService : public QObject {
    Q_OBJECT

    ImmichDoubleProcess m_immich;
    QTemporaryDir m_files;

private slots:
    void initTestCase()
    {
        QVERIFY(m_files.isValid());
        QVERIFY(m_immich.start({u"--user"_s, u"a@example.org:pa:key-a"_s}));
    }

    void keepsNamesAcrossRestarts()
    {
        const QStringList args{u"--immich-url"_s, m_immich.url().toString(), u"--database"_s,
                               m_files.filePath(u"names/names.sqlite"_s)};
        const QJsonObject named{{u"asset-1"_s, u"Été 2023 😀.heic"_s}};
        Service first;
        QVERIFY(first.start(args));
        const QByteArray body =
            QJsonDocument(QJsonObject{{u"name"_s, named[u"asset-1"_s]}}).toJson();
        QCOMPARE(first.send("PUT", "key-a", "/asset-1", body.toStdString()).first, 200);
        QCOMPARE(first.send("GET", "key-z").first, 401);
        QCOMPARE(first.stop(), 0);

        Service second;
        QVERIFY(second.start(args));
        QCOMPARE(second.send("GET", "key-a"), std::pair(200, named));
        QCOMPARE(second.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestNamesService)
#include "TestNamesService.moc"
