#include "App.h"

#include "Config.h"
#include "QDaemonLog.h"

#include <QDateTime>

#include <cstdlib>

App::App(QObject *parent)
    : QObject(parent)
{
    std::srand(unsigned(QDateTime::currentMSecsSinceEpoch() / 1000));
}

App::~App()
{
    stopAll();
}

void App::start()
{
    qDaemonLog() << QStringLiteral("Service started");
    Config::instance()->load();
    startAll();
}

void App::stop()
{
    qDaemonLog() << QStringLiteral("Stopping service");
    stopAll();
}

void App::startAll()
{
}

void App::stopAll()
{
}
