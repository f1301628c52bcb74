// A launch of the player reduced to its claim on the instance, for the tests: it claims, says
// what it became, and as the player stays "starting up" (its event loop not running) for a while,
// then prints the launches handed to it.
//   SingleInstanceProbe NAME STARTUP_MS LISTEN_MS [--video PATH] [--model PATH]
#include "Lumavane/App/SingleInstance.hpp"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    using namespace lumavane;
    QCoreApplication application(argc, argv);
    if (argc < 4) return 2;
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
    });
    QTimer::singleShot(std::stoi(argv[3]), &application, &QCoreApplication::quit);
    return application.exec();
}
