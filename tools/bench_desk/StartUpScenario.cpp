#include "tools/bench_desk/StartUpScenario.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "tools/bench_common/Median.h"

namespace {

constexpr int kShownDeadlineMs = 30000;
const QByteArray kShownLine = "VaultDesk: window shown";
const QByteArray kWokenLine = "VaultDesk: woken";

QProcessEnvironment environmentFor(const QString& updateServer)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("KORVELIN_UPDATE_SERVER"), updateServer);
    // VaultDesk then reports its steps on its output.
    environment.insert(QStringLiteral("VAULTDESK_TRACE_STARTUP"), QStringLiteral("1"));
    return environment;
}

// Starts VaultDesk and waits for its first window; the seconds it took.
double startUntilShown(QProcess& child, const QString& program, const QProcessEnvironment& environment,
                       bool trace)
{
    child.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    child.start(program, QStringList{});
    QByteArray output;
    while (!output.contains(kShownLine)) {
        if (clock.elapsed() > kShownDeadlineMs || child.state() == QProcess::NotRunning)
            throw std::runtime_error("VaultDesk showed no window: " + output.toStdString());
        child.waitForReadyRead(5);
        output += child.readAllStandardOutput();
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    if (trace)
        std::fprintf(stderr, "%s", output.constData());
    return seconds;
}

void stop(QProcess& child)
{
    child.kill();
    child.waitForFinished();
}

double worst(const std::vector<double>& values)
{
    return *std::max_element(values.begin(), values.end());
}

} // namespace

std::vector<double> startUpScenario(const std::string& programPath, int runs, bool trace)
{
    const QString program = QString::fromStdString(programPath);
    QTcpServer silent;
    if (!silent.listen(QHostAddress::LocalHost))
        throw std::runtime_error("cannot listen for the silent update service");
    const QString refusedService = QStringLiteral("127.0.0.1:1");
    const QString silentService = QStringLiteral("127.0.0.1:%1").arg(silent.serverPort());

    std::vector<double> result;
    for (const QString& service : {refusedService, silentService}) {
        std::vector<double> seconds;
        for (int run = 0; run < runs; ++run) {
            QProcess child;
            seconds.push_back(startUntilShown(child, program, environmentFor(service), trace));
            stop(child);
        }
        result.push_back(median(seconds));
        result.push_back(worst(seconds));
    }

    const QProcessEnvironment environment = environmentFor(refusedService);
    QProcess first;
    startUntilShown(first, program, environment, trace);
    std::vector<double> seconds;
    for (int run = 0; run < runs; ++run) {
        QProcess second;
        second.setProcessEnvironment(environment);
        QElapsedTimer clock;
        clock.start();
        second.start(program, QStringList{});
        const bool exited = second.waitForFinished(10000);
        seconds.push_back(double(clock.nsecsElapsed()) / 1e9);
        if (!exited || second.exitCode() != 0) {
            stop(second);
            stop(first);
            throw std::runtime_error("the second start did not exit with 0");
        }
    }
    // The first reports each wake-up on its output; give the last one a moment.
    QByteArray output;
    QElapsedTimer settle;
    settle.start();
    while (output.count(kWokenLine) < runs && settle.elapsed() < 2000) {
        first.waitForReadyRead(20);
        output += first.readAllStandardOutput();
    }
    stop(first);
    result.push_back(median(seconds));
    result.push_back(worst(seconds));
    result.push_back(double(output.count(kWokenLine)));
    return result;
}
