// The real lumaview program, started as a person would: the proxy switch in
// lumaview.ini, the hand-over from a second launch, and a screenshot of the
// welcome page taken from the X server (a widget grab of a web view is blank).
// Each case installs the program into a folder of its own with its INI files;
// the proxy override there lets the system choose the port.
#include "LoopbackOrigin.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString TitleSuffix = QStringLiteral(" - lumaview.example.org");

// The titles of the top-level windows on this display that belong to the client.
QStringList clientWindowTitles()
{
    QProcess xwininfo;
    xwininfo.start(QStringLiteral("xwininfo"), { QStringLiteral("-root"), QStringLiteral("-children") });
    xwininfo.waitForFinished(5000);
    QStringList titles;
    static const QRegularExpression line(QStringLiteral("^\\s*0x[0-9a-f]+ \"(.*)\": \\(\"lumaview\""));
    for (const QString& text : QString::fromUtf8(xwininfo.readAllStandardOutput()).split('\n')) {
        const QRegularExpressionMatch match = line.match(text);
        if (match.hasMatch() && match.captured(1).endsWith(QLatin1String("lumaview.example.org")))
            titles << match.captured(1);
    }
    return titles;
}

} // namespace

class LumaviewProcessTest : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void proxySwitch_data();
    void proxySwitch();
    void secondLaunchHandsOver();
    void welcomePageScreenshot();
    void webProxySwitch_data();
    void webProxySwitch();

private:
    // Installs the program with the given lumaview.ini (none when null).
    QString install(const char* lumaviewIni);
    QProcess* start(const QString& dir, const QStringList& arguments = {});
    bool waitForTitle(const QString& title, int timeoutMs = 30000);
    // Screenshots of the X server until one shows more than 5000 pixels of
    // the colour (every second pixel counted); the last stays in artifacts/.
    int screenshotShows(const QString& name, QRgb colour);
    void stopAll();

    std::unique_ptr<QTemporaryDir> m_dir;
    QList<QProcess*> m_processes;
};

QString LumaviewProcessTest::install(const char* lumaviewIni)
{
    m_dir = std::make_unique<QTemporaryDir>();
    const QString dir = m_dir->path();
    QFile::copy(QStringLiteral(LUMAVIEW_BINARY), dir + "/lumaview");
    QFile::setPermissions(dir + "/lumaview", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::copy(QFileInfo(QStringLiteral(LUMAVIEW_BINARY)).absolutePath() + "/qwebchannel.js",
        dir + "/qwebchannel.js");
    auto write = [&](const QString& name, const QByteArray& content) {
        QFile file(dir + "/" + name);
        file.open(QIODevice::WriteOnly);
        file.write(content);
    };
    if (lumaviewIni)
        write("lumaview.ini", lumaviewIni);
    write("lumashell.ini", "[setting]\nproxy_config=proxy-test.conf\n");
    write("proxy-test.conf", "DebugUseFixedLocalPort=0\n");
    return dir;
}

QProcess* LumaviewProcessTest::start(const QString& dir, const QStringList& arguments)
{
    auto* process = new QProcess(this);
    process->setProgram(dir + "/lumaview");
    process->setArguments(arguments);
    process->start();
    process->waitForStarted();
    m_processes << process;
    return process;
}

bool LumaviewProcessTest::waitForTitle(const QString& title, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (clientWindowTitles().contains(title))
            return true;
        QTest::qWait(200);
    }
    qWarning() << "windows:" << clientWindowTitles();
    return false;
}

void LumaviewProcessTest::stopAll()
{
    for (QProcess* process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(10000)) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
        delete process;
    }
    m_processes.clear();
}

void LumaviewProcessTest::cleanup()
{
    if (QTest::currentTestFailed()) {
        for (QProcess* process : m_processes)
            qWarning().noquote() << process->readAllStandardError().right(3000);
    }
    stopAll();
    QTRY_VERIFY_WITH_TIMEOUT(clientWindowTitles().isEmpty(), 10000);
}

void LumaviewProcessTest::proxySwitch_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("missing");
    QTest::addColumn<bool>("started");
    QTest::newRow("use_proxy=1") << QByteArray("[setting]\nuse_proxy=1\n") << false << true;
    QTest::newRow("use_proxy=0") << QByteArray("[setting]\nuse_proxy=0\n") << false << false;
    QTest::newRow("use_proxy=2") << QByteArray("[setting]\nuse_proxy=2\n") << false << false;
    QTest::newRow("no INI file") << QByteArray() << true << false;
}

void LumaviewProcessTest::proxySwitch()
{
    QFETCH(QByteArray, ini);
    QFETCH(bool, missing);
    QFETCH(bool, started);

    const QString dir = install(missing ? nullptr : ini.constData());
    QProcess* client = start(dir);
    // No start URL: the window keeps the organisation's name as its title.
    QVERIFY(waitForTitle(QStringLiteral("lumaview.example.org")));
    const QString output = QString::fromLatin1(client->readAllStandardOutput());
    if (!started) {
        QVERIFY2(!output.contains("port ="), qPrintable(output));
        return;
    }
    const QRegularExpressionMatch match = QRegularExpression("port = (\\d+)\n").match(output);
    QVERIFY2(match.hasMatch(), qPrintable(output));
    const int port = match.captured(1).toInt();
    QVERIFY(port > 0 && port != 28080);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    QVERIFY(socket.waitForConnected(5000));
}

void LumaviewProcessTest::secondLaunchHandsOver()
{
    LoopbackOrigin origin;
    const QString dir = install(QStringLiteral("[setting]\nuse_proxy=0\nstart_url=%1\n")
                                    .arg(origin.url("start"))
                                    .toUtf8()
                                    .constData());
    start(dir);
    QVERIFY(waitForTitle("Start" + TitleSuffix));

    struct Launch {
        QStringList arguments;
        int openLinksIn;
        QString requestLine; // expected at the origin; empty: none
        QString title; // the newest window's title afterwards
        int windows;
    };
    const QList<Launch> launches = {
        { { origin.url("handed") }, 0, "GET /handed HTTP/1.1", "Handed", 1 },
        { { origin.url("cut here") }, 0, "GET /cut HTTP/1.1", "Cut", 1 },
        { {}, 0, QString(), "Cut", 1 },
        { { QString() }, 0, QString(), "Cut", 1 },
        { { origin.url("window") }, 1, "GET /window HTTP/1.1", "Window", 2 },
    };
    for (const Launch& launch : launches) {
        {
            QSettings settings(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                    + "/lumaview.example.org/client.conf",
                QSettings::IniFormat);
            settings.setValue("general/openLinksIn", launch.openLinksIn);
        }
        const int requestsBefore = origin.requestLines().size();
        QProcess second;
        second.start(dir + "/lumaview", launch.arguments);
        QVERIFY(second.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 20000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(!second.readAllStandardOutput().contains("port ="));

        if (launch.requestLine.isEmpty()) {
            QTest::qWait(500);
            QCOMPARE(origin.requestLines().size(), requestsBefore);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(
                origin.requestLines().mid(requestsBefore).contains(launch.requestLine), 15000);
        }
        QVERIFY(waitForTitle(launch.title + TitleSuffix));
        QCOMPARE(clientWindowTitles().size(), launch.windows);
    }
}

int LumaviewProcessTest::screenshotShows(const QString& name, QRgb colour)
{
    QDir().mkpath(QStringLiteral(LUMAVIEW_ARTIFACT_DIR));
    const QString shot = QStringLiteral(LUMAVIEW_ARTIFACT_DIR "/") + name;
    // The title arrives before the page is painted: take shots until the
    // page's colour is on the screen.
    int pixels = 0;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 20000 && pixels <= 5000) {
        QTest::qWait(500);
        QFile::remove(shot);
        if (QProcess::execute("import", { "-window", "root", shot }) != 0)
            return -1;
        const QImage image(shot);
        pixels = 0;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2)
                pixels += image.pixel(x, y) == colour;
    }
    qInfo().noquote() << "screenshot:" << shot;
    return pixels;
}

void LumaviewProcessTest::welcomePageScreenshot()
{
    const QString dir = install("[setting]\nuse_proxy=1\nstart_url=qrc:/welcome.html\n");
    start(dir);
    QVERIFY(waitForTitle("Lumaview" + TitleSuffix));
    // The welcome page's blue header.
    QVERIFY(screenshotShows("welcome-page.png", qRgb(0x1f, 0x5f, 0xa6)) > 5000);
}

void LumaviewProcessTest::webProxySwitch_data()
{
    QTest::addColumn<QByteArray>("setting");
    QTest::addColumn<bool>("proxied");
    QTest::newRow("web_proxy=1") << QByteArray("web_proxy=1") << true;
    QTest::newRow("web_proxy=0") << QByteArray("web_proxy=0") << false;
}

void LumaviewProcessTest::webProxySwitch()
{
    QFETCH(QByteArray, setting);
    QFETCH(bool, proxied);
    LoopbackOrigin origin;
    const QString dir = install(QStringLiteral("[setting]\nuse_proxy=1\n%1\nstart_url=%2\n")
                                    .arg(QString::fromLatin1(setting), origin.url("lesson"))
                                    .toUtf8()
                                    .constData());
    start(dir);
    QVERIFY(waitForTitle("Lesson" + TitleSuffix));
    QCOMPARE(origin.heads.size(), 1);
    QCOMPARE(origin.heads.first().contains("\r\nX-Ncm-Proxy:"), proxied);
    if (proxied) // the page as the user sees it, from the origin through the proxy
        QVERIFY(screenshotShows("proxied-page.png", qRgb(0x2a, 0x9d, 0x8f)) > 5000);
}

QTEST_MAIN(LumaviewProcessTest)
#include "LumaviewProcessTest.moc"
