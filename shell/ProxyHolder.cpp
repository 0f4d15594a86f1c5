#include "shell/ProxyHolder.h"

#include "base/Logger.h"
#include "proxy/NcmProxy.h"
#include "proxy/ShellConfig.h"

#include <QCoreApplication>
#include <QtDebug>

#include <csignal>
#include <cstdio>

ProxyHolder& ProxyHolder::instance()
{
    static ProxyHolder* holder = new ProxyHolder;
    return *holder;
}

int qtDebugOutput(char level, const char* tag, const char* format, va_list args)
{
    char inlineStorage[512];
    LogLineBuffer line(inlineStorage, sizeof inlineStorage);
    formatLogLine(line, 0, level, tag, format, args);
    if (line.length > 0)
        qDebug().noquote() << QString::fromLocal8Bit(line.data, static_cast<int>(line.length));
    return 0;
}

void ProxyHolder::startLocalProxyInBackground()
{
    if (!m_starting.joinable())
        m_starting = std::thread([this] { startLocalProxy(); });
}

int ProxyHolder::port()
{
    if (m_starting.joinable())
        m_starting.join();
    return m_port;
}

void ProxyHolder::stopLocalProxy()
{
    if (m_starting.joinable())
        m_starting.join();
    delete m_proxy; // stops its loop thread first
    m_proxy = nullptr;
    m_port = -1;
}

int ProxyHolder::startLocalProxy()
{
    // A client that drops its connection mid-answer must not kill the browser.
    std::signal(SIGPIPE, SIG_IGN);
    rootLogger.setOutput(qtDebugOutput);
    rootLogger.debug("Starting local proxy ...");

    const std::string text = composeShellProxyConfig(QCoreApplication::applicationDirPath().toStdString());
    proxyGlobalInit();
    if (!m_proxy)
        m_proxy = new NcmProxy;
    m_proxy->activate(text.c_str());
    m_port = m_proxy->port();
    std::printf("port = %d\n", m_port);
    std::fflush(stdout);
    return m_port;
}
