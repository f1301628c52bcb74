// A launch of the player reduced to its claim on the instance, for the tests: it claims and says
// what it became; the player then stays "starting up" (its event loop not running) for a while,
// prints the first launch handed to it and ends (at the latest after 30 seconds).
//   SingleInstanceProbe NAME STARTUP_MS [--video PATH] [--model PATH]
#include "Lumavane/App/SingleInstance.hpp"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    using namespace lumavane;
    QCoreApplication application(argc, argv);
    if (argc < 3) return 2;
    const std::vector<std::string> arguments(argv, argv + argc);
    SingleInstance instance(QString::fromLocal8Bit(argv[1]));
    const SingleInstance::Claim claim = instance.claim(LaunchOptions::parse(arguments), 20000);
    if (claim != SingleInstance::Claim::player) {
        std::printf(claim == SingleInstance::Claim::forwarded ? "forwarded\n" : "unreachable\n");
        return 0;
    }
    std::printf("player\n");
    std::fflush(stdout);
    QThread::msleep(std::stoul(argv[2]));
    instance.setLaunchHandler([](const LaunchOptions& options) {
        std::printf("launch video=%s model=%s\n", options.video ? options.video->c_str() : "",
                    options.model ? options.model->c_str() : "");
        std::fflush(stdout);
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QTimer::singleShot(30000, &application, &QCoreApplication::quit);
    return application.exec();
}
