// The real program, installed with its INI files into a folder per case and started as a person would.
#include "GuiTest.h"
#include "LoopbackOrigin.h"

#include <csignal>
#include <unistd.h>

namespace {

const QString Domain = QStringLiteral("lumaview.example.org");

// The titles of the client's top-level windows on this display.
QStringList clientWindowTitles()
{
    QProcess xwininfo;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LC_ALL", "C.UTF-8"); // titles in UTF-8, not escaped
    xwininfo.setProcessEnvironment(environment);
    xwininfo.start("xwininfo", { "-root", "-children" });
    xwininfo.waitForFinished(5000);
    QStringList titles;
    static const QRegularExpression line("^\\s*0x[0-9a-f]+ \"(.*)\": \\(\"lumaview\"");
    for (const QString& text : QString::fromUtf8(xwininfo.readAllStandardOutput()).split('\n')) {
        const QRegularExpressionMatch match = line.match(text);
        if (match.hasMatch() && match.captured(1).endsWith(Domain))
            titles << match.captured(1);
    }
    return titles;
}

// Screenshots of the X server (a view's grab is blank) until the colour shows: the title precedes the paint.
bool screenshotShows(const QString& name, QRgb colour)
{
    QDir().mkpath(LUMAVIEW_ARTIFACT_DIR);
    const QString shot = LUMAVIEW_ARTIFACT_DIR "/" + name;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 20000) {
        QTest::qWait(500);
        QFile::remove(shot);
        if (QProcess::execute("import", { "-window", "root", shot }) != 0)
            return false;
        const QImage image(shot);
        int pixels = 0;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2)
                pixels += image.pixel(x, y) == colour;
        if (pixels > 5000)
            return true;
    }
    return false;
}

} // namespace

class LumaviewProcessTest : public QObject {
    Q_OBJECT
    // No lumaview.ini when empty.
    QString start(const QString& lumaviewIni, const QString& locale = "en_US.UTF-8",
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment())
    {
        m_dir = std::make_unique<QTemporaryDir>();
        const QString dir = m_dir->path();
        for (const char* name : { "lumaview", "qwebchannel.js", "lumaview_zh.qm" })
            QFile::copy(QFileInfo(LUMAVIEW_BINARY).absolutePath() + "/" + name, dir + "/" + name);
        if (!lumaviewIni.isEmpty())
            writeFile(dir + "/lumaview.ini", "[setting]\n" + lumaviewIni.toUtf8());
        writeFile(dir + "/lumashell.ini", "[setting]\nproxy_config=proxy-test.conf\n");
        writeFile(dir + "/proxy-test.conf", "DebugUseFixedLocalPort=0\n");
        m_client = std::make_unique<QProcess>();
        environment.remove("LANGUAGE");
        environment.insert("LC_ALL", locale);
        environment.insert("LANG", locale);
        m_client->setProcessEnvironment(environment);
        m_client->start(dir + "/lumaview", QStringList());
        m_client->waitForStarted();
        return dir;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_client;

private slots:
    void cleanup()
    {
        m_client->terminate();
        if (!m_client->waitForFinished(10000))
            m_client->kill();
        m_client->waitForFinished(5000);
        WAIT(clientWindowTitles().isEmpty());
    }

    // The proxy switches, and the welcome page in the language of the locale or lumaview.ini.
    void startsAsConfigured_data()
    {
        // ini: %1 is the origin's start page; title: the window's before the domain
        columns<QString, QString, QString, bool, bool>("ini", "locale", "title", "started", "pageProxied");
        const char *en = "en_US.UTF-8", *zh = "Lumaview 欢迎页 - ";
        const QString welcome = "start_url=qrc:/welcome.html\n", proxied = "web_proxy=1\nstart_url=%1\n";
        row("proxy on, welcome", "use_proxy=1\n" + welcome, en, "Lumaview - ", true, false);
        row("proxy on, page proxied", "use_proxy=1\n" + proxied, en, "Lesson - ", true, true);
        row("proxy off", "use_proxy=0\n" + proxied, en, "Lesson - ", false, false);
        row("use_proxy=2", "use_proxy=2\n", en, "", false, false);
        row("no INI file", "", en, "", false, false);
        row("Chinese system", "use_proxy=0\n" + welcome, "zh_CN.UTF-8", zh, false, false);
        row("C locale, INI zh", "use_proxy=0\nlanguage=zh\n" + welcome, "C", zh, false, false);
    }
    void startsAsConfigured()
    {
        const auto [ini, locale, title, started, pageProxied] = fetch<QString, QString, QString, bool, bool>(
            "ini", "locale", "title", "started", "pageProxied");
        LoopbackOrigin origin;
        start(QString(ini).replace("%1", origin.url("lesson")), locale);
        WAIT(clientWindowTitles().contains(title + Domain));
        const QString output = QString::fromLatin1(m_client->readAllStandardOutput());
        const QRegularExpressionMatch match = QRegularExpression("port = (\\d+)\n").match(output);
        QVERIFY2(match.hasMatch() == started, qPrintable(output));
        if (started) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, quint16(match.captured(1).toInt()));
            QVERIFY(socket.waitForConnected(5000));
        }
        QCOMPARE(origin.heads.size(), int(ini.contains("%1")));
        QCOMPARE(origin.count("/lesson", { "\r\nX-Ncm-Proxy:" }), int(pageProxied));
        // The welcome page's blue header, or the origin's teal page.
        const bool welcome = ini.contains("welcome");
        if (welcome || pageProxied)
            QVERIFY(screenshotShows(!welcome  ? "proxied-page.png"
                    : locale == "en_US.UTF-8" ? "welcome-page.png"
                                              : "welcome-page-zh.png",
                welcome ? qRgb(0x1f, 0x5f, 0xa6) : qRgb(0x2a, 0x9d, 0x8f)));
    }

    void secondLaunchHandsOver()
    {
        LoopbackOrigin origin;
        origin.pages["/handed"] = "<title>Handed</title><body style='background:#e76f51'>Handed</body>";
        const QString dir = start("use_proxy=0\nstart_url=" + origin.url("start") + "\n");
        WAIT(clientWindowTitles().contains("Start - " + Domain));
        struct Launch {
            QStringList arguments;
            int openLinksIn;
            QString title; // the newest window's title afterwards, after the page's path
            int windows;
            bool display = true;
        };
        const QList<Launch> launches = {
            { { origin.url("handed") }, 0, "Handed", 1 },
            { { origin.url("cut here") }, 0, "Cut%20here", 1 }, // white space travels encoded
            { {}, 0, "Cut%20here", 1 },
            // The numeric host as written: 0x7f.0.0.1 is 127.0.0.1, where the origin listens.
            { { origin.url("hex").replace("127.0.0.1", "0x7f.0.0.1") }, 0, "Hex", 1 },
            { { origin.url("headless") }, 0, "Headless", 1, false }, // handing over needs no display
            { { origin.url("window") }, 1, "Window", 2 },
        };
        const QString conf = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/"
            + Domain + "/client.conf";
        for (const Launch& launch : launches) {
            QSettings(conf, QSettings::IniFormat).setValue("general/openLinksIn", launch.openLinksIn);
            const int requestsBefore = origin.heads.size();
            QProcess second;
            if (!launch.display) {
                QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
                for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
                    environment.remove(name);
                second.setProcessEnvironment(environment);
            }
            second.start(dir + "/lumaview", launch.arguments);
            QVERIFY(second.waitForFinished(20000));
            QVERIFY(second.exitStatus() == QProcess::NormalExit && second.exitCode() == 0);
            QVERIFY(!second.readAllStandardOutput().contains("port =")); // it started no proxy
            const bool opens = !launch.arguments.value(0).isEmpty();
            QTest::qWait(opens ? 0 : 500);
            WAIT_COMPARE(origin.heads.size(), requestsBefore + opens);
            QVERIFY(!opens || origin.count("/" + launch.title.toLower().toLatin1()) == 1);
            WAIT(clientWindowTitles().contains(launch.title + " - " + Domain));
            QCOMPARE(clientWindowTitles().size(), launch.windows);
            // A handed-over tab is painted, not just titled.
            QVERIFY(launch.title != "Handed" || screenshotShows("handed-page.png", qRgb(0xe7, 0x6f, 0x51)));
        }
    }

    // Where the instance socket lives and what a launch says when it cannot hand over. runtimeDir:
    // XDG_RUNTIME_DIR set, else a temp folder; refusal: the first launch's message, empty when it runs.
    void launchChecks_data()
    {
        columns<bool, QString, QString>("runtimeDir", "prepare", "refusal");
        row("private temp folder", false, "", "");
        row("stale socket file in XDG_RUNTIME_DIR", true, "stale", "");
        row("temp folder open to others", false, "open", "is not private to this user");
        row("first instance stopped", true, "stop", "");
        row("root without the sandbox switch", true, "root", "QTWEBENGINE_DISABLE_SANDBOX=1");
    }
    void launchChecks()
    {
        const auto [runtimeDir, prepare, refusal]
            = fetch<bool, QString, QString>("runtimeDir", "prepare", "refusal");
        if (prepare == "root" && ::geteuid() != 0)
            QSKIP("only root meets the engine's sandbox refusal");
        QTemporaryDir tmp;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TMPDIR", tmp.path());
        if (!runtimeDir)
            environment.remove("XDG_RUNTIME_DIR");
        if (prepare == "root")
            environment.remove("QTWEBENGINE_DISABLE_SANDBOX");
        const QString folder = runtimeDir ? environment.value("XDG_RUNTIME_DIR")
                                          : tmp.path() + "/lumaview-" + QString::number(::geteuid());
        const QString socketPath = folder + "/client" + QString(qVersion()).remove('.') + "webengine";
        if (prepare == "open")
            QVERIFY(QDir().mkdir(folder) && QFile::setPermissions(folder, QFileDevice::Permissions(0x7777)));
        if (prepare == "stale") { // a killed instance leaves its socket file behind
            start(QString(), "en_US.UTF-8", environment);
            WAIT(clientWindowTitles().contains(Domain));
            m_client->kill();
            QVERIFY(m_client->waitForFinished(5000) && QFile::exists(socketPath));
            WAIT(clientWindowTitles().isEmpty());
        }
        const QString dir = start(QString(), "en_US.UTF-8", environment);
        if (!refusal.isEmpty()) {
            QVERIFY(m_client->waitForFinished(20000));
            QCOMPARE(m_client->exitCode(), 1);
            const QString said = QString::fromLocal8Bit(m_client->readAllStandardError());
            QVERIFY2(said.contains(refusal), qPrintable(said));
            return;
        }
        WAIT(clientWindowTitles().contains(Domain));
        const QFileDevice::Permissions others(0x0077); // the group's and everyone's
        QVERIFY(QFileInfo(socketPath).exists() && !(QFile::permissions(socketPath) & others));
        QVERIFY(!(QFile::permissions(folder) & others));
        // A stopped first instance accepts (the system queues it) but never answers: the launch fails.
        const pid_t first = pid_t(m_client->processId());
        if (prepare == "stop")
            QVERIFY(::kill(first, SIGSTOP) == 0);
        auto resume = qScopeGuard([&] { ::kill(first, SIGCONT); });
        QProcess second;
        second.setProcessEnvironment(environment);
        QElapsedTimer timer;
        timer.start();
        second.start(dir + "/lumaview", QStringList());
        QVERIFY(second.waitForFinished(20000));
        const QString said = QString::fromLocal8Bit(second.readAllStandardError());
        if (prepare == "stop") {
            QCOMPARE(second.exitCode(), 1);
            QVERIFY2(timer.elapsed() >= 4500 && timer.elapsed() < 15000,
                qPrintable(QString::number(timer.elapsed())));
            QVERIFY2(said.contains("did not acknowledge"), qPrintable(said));
        } else {
            QVERIFY2(second.exitStatus() == QProcess::NormalExit && second.exitCode() == 0, qPrintable(said));
        }
    }
};

QTEST_MAIN(LumaviewProcessTest)
#include "LumaviewProcessTest.moc"
