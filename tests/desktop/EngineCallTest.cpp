#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <atomic>
#include <chrono>
#include <thread>

#include "desktop/EngineCall.h"
#include "desktop/StatusProgress.h"
#include "tests/desktop/DesktopTestSupport.h"

namespace {

// Waits on the worker thread until flag is set, at most five seconds.
bool waitOnWorker(const std::atomic<bool>& flag)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace

class EngineCallTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        desktoptest::resetProfile();
        engine = desktoptest::openVault();
        window = std::make_unique<QWidget>();
        auto* layout = new QVBoxLayout(window.get());
        other = new QPushButton(QStringLiteral("Other"), window.get());
        progress = new StatusProgress(window.get());
        layout->addWidget(other);
        layout->addWidget(progress);
        window->resize(400, 80);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup()
    {
        window.reset();
        engine.reset();
    }

    void returnsTheResultFromAWorkerThread()
    {
        QThread* callThread = nullptr;
        EngineCall call(*engine, progress);
        const QStringList names = call.run([&] {
            callThread = QThread::currentThread();
            return desktoptest::listedNames(*engine);
        });
        QVERIFY(names.isEmpty());
        QVERIFY(callThread != nullptr);
        QVERIFY(callThread != QThread::currentThread());
        QVERIFY(!EngineCall::isRunning());
    }

    void rethrowsTheEnginesErrorOnTheGuiThread()
    {
        EngineCall call(*engine, progress);
        try {
            call.run([&] { engine->removeFile("not there", desktoptest::makeFolder("out").toStdString()); });
            QFAIL("no exception");
        } catch (const ExceptionModule& error) {
            QCOMPARE(QString::fromStdString(error.getMessage()),
                     QStringLiteral("No such file found in the store: not there"));
        }
        // The next call runs as usual.
        QCOMPARE(call.run([] { return 7; }), 7);
    }

    void theEventLoopKeepsRunningDuringACall()
    {
        int ticks = 0;
        std::atomic<bool> enoughTicks{false};
        QTimer timer;
        timer.setInterval(5);
        connect(&timer, &QTimer::timeout, this, [&] {
            if (++ticks >= 5)
                enoughTicks = true;
        });
        timer.start();
        EngineCall call(*engine, progress);
        // The worker returns only once the GUI thread has ticked five times.
        QVERIFY(call.run([&] { return waitOnWorker(enoughTicks); }));
        QVERIFY(ticks >= 5);
    }

    void onlyCancelTakesInputWhileACallRuns()
    {
        QSignalSpy otherClicks(other, &QPushButton::clicked);
        std::atomic<bool> clicked{false};
        EngineCall call(*engine, progress);
        QTimer::singleShot(0, this, [&] {
            QVERIFY(progress->isVisible());
            // Through the window system, as a person's clicks arrive.
            QWindow* windowHandle = window->windowHandle();
            QTest::mouseClick(windowHandle, Qt::LeftButton, {}, other->mapTo(window.get(), other->rect().center()));
            QTest::keyClick(other, Qt::Key_Space);
            QPushButton* cancel = progress->cancelButton();
            QTest::mouseClick(windowHandle, Qt::LeftButton, {}, cancel->mapTo(window.get(), cancel->rect().center()));
            clicked = true;
        });
        QVERIFY(call.run([&] { return waitOnWorker(clicked); }));
        QCOMPARE(otherClicks.count(), 0);
        QVERIFY(call.cancelled());
        QVERIFY(!progress->cancelButton()->isEnabled());

        // Once the call is over the window takes input again.
        QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, other->mapTo(window.get(), other->rect().center()));
        QCOMPARE(otherClicks.count(), 1);
    }

    void aSecondCallCannotStartWhileOneRuns()
    {
        std::atomic<bool> tried{false};
        QString refusal;
        EngineCall call(*engine, progress);
        QTimer::singleShot(0, this, [&] {
            EngineCall nested(*engine, nullptr);
            try {
                nested.run([] {});
            } catch (const ExceptionModule& error) {
                refusal = QString::fromStdString(error.getMessage());
            }
            tried = true;
        });
        QVERIFY(call.run([&] { return waitOnWorker(tried); }));
        QVERIFY(refusal.startsWith(QStringLiteral("Another operation is still under way.")));
    }

    void showsTheEnginesProgressAndHidesWhenDone()
    {
        const QString file = desktoptest::writeFile(desktoptest::makeFolder("in") + "/big.bin", 3 << 20, 1);
        QStringList shownNames;
        connect(progress, &StatusProgress::progressShown, this, [&](const QString& name) { shownNames.append(name); });
        {
            EngineCall call(*engine, progress);
            call.run([&] { engine->addFile(file.toStdString(), nullptr, false); });
            QVERIFY(progress->isVisible());
            QCOMPARE(progress->bar()->value(), progress->bar()->maximum());
            QCOMPARE(progress->bar()->toolTip(), QStringLiteral("big.bin — 3.0 MiB of 3.0 MiB"));
        }
        QVERIFY(!progress->isVisible());
        QVERIFY(shownNames.contains(QStringLiteral("big.bin")));
        QCOMPARE(desktoptest::listedNames(*engine), QStringList{QStringLiteral("big.bin")});
    }

private:
    std::unique_ptr<Kist> engine;
    std::unique_ptr<QWidget> window;
    QPushButton* other = nullptr;
    StatusProgress* progress = nullptr;
};

VAULTDESK_TEST_MAIN(EngineCallTest)
#include "EngineCallTest.moc"
