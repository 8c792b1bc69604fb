// settings.xml: where it is looked for, how it is read, and the records it yields.
#include "settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>

#ifdef Q_OS_WIN
#include <shlobj.h>
#endif

namespace {

QString SETTINGS_FILE;

const QString SETTINGS_NAME = QStringLiteral("settings.xml");

// Reads the one token after a text element's start tag; an empty element gives "".
QString readText(QXmlStreamReader &xml)
{
    xml.readNext();
    return xml.isCharacters() ? xml.text().toString() : QString();
}

// Reads the tokens of one element up to its end tag (or the end of the
// document, or an error), handing every child start element to onChild.
template <typename OnChild>
void readElement(QXmlStreamReader &xml, const QString &endTag, OnChild onChild)
{
    while (!xml.atEnd() && !xml.hasError()) {
        xml.readNext();
        if (xml.isEndElement() && xml.name() == endTag)
            return;
        if (xml.isStartElement())
            onChild(xml.name().toString());
    }
}

bool readUInt(const QString &text, uint32_t &value)
{
    bool ok = false;
    const uint v = text.toUInt(&ok, 10);
    if (ok)
        value = v;
    return ok;
}

#ifdef Q_OS_WIN
QString commonAppData()
{
    wchar_t path[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path) != S_OK)
        return QString();
    return QString::fromWCharArray(path);
}
#endif

} // namespace

Settings Settings::loadSettings()
{
    Settings settings;
    QFile file(settingsFile());
    if (file.open(QIODevice::ReadOnly)) {
        settings = parse(file);
        file.close();
    }
    if (settings.logsDir.isEmpty())
        settings.logsDir = defaultLogPath();
    return settings;
}

Settings Settings::parse(QIODevice &device)
{
    Settings settings;
    QXmlStreamReader xml(&device);
    while (!xml.atEnd() && !xml.hasError()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        const auto name = xml.name();
        if (name == QLatin1String("hotplug")) {
            settings.hotplug = readText(xml) == QLatin1String("auto");
        } else if (name == QLatin1String("device")) {
            if (xml.attributes().value(QLatin1String("type")) == QLatin1String("sarn"))
                settings.sarnDevices.append(parseSarnDevice(xml));
            else
                settings.pobDevices.append(parsePobDevice(xml));
        } else if (name == QLatin1String("logs")) {
            settings.logsDir = parseLog(xml);
        }
    }
    return settings;
}

PobSettings Settings::parsePobDevice(QXmlStreamReader &xml)
{
    PobSettings device;
    readElement(xml, QStringLiteral("device"), [&](const QString &child) {
        if (child == QLatin1String("id"))
            device.id = readText(xml);
        else if (child == QLatin1String("port"))
            device.port = readText(xml);
    });
    return device;
}

SarnSettings Settings::parseSarnDevice(QXmlStreamReader &xml)
{
    SarnSettings device;
    readElement(xml, QStringLiteral("device"), [&](const QString &child) {
        if (child == QLatin1String("id")) {
            device.id = readText(xml);
        } else if (child == QLatin1String("protocol")) {
            uint32_t protocol = 0;
            if (readUInt(readText(xml), protocol) && (protocol == 2 || protocol == 3))
                device.protocol = uint8_t(protocol);
        } else if (child == QLatin1String("app")) {
            const PortSettings port = parsePort(xml, child);
            device.appPortName = port.name;
            device.appBaudRate = port.baudRate;
        } else if (child == QLatin1String("dev")) {
            const PortSettings port = parsePort(xml, child);
            device.devPortName = port.name;
            device.devBaudRate = port.baudRate;
        }
    });
    return device;
}

Settings::PortSettings Settings::parsePort(QXmlStreamReader &xml, const QString &endTag)
{
    PortSettings port;
    readElement(xml, endTag, [&](const QString &child) {
        if (child == QLatin1String("port")) {
            port.name = readText(xml);
        } else if (child == QLatin1String("baudrate")) {
            uint32_t rate = 0;
            if (readUInt(readText(xml), rate))
                port.baudRate = int32_t(rate);
        }
    });
    return port;
}

QString Settings::parseLog(QXmlStreamReader &xml)
{
    QString dir;
    readElement(xml, QStringLiteral("logs"), [&](const QString &child) {
        if (child == QLatin1String("dir"))
            dir = readText(xml);
    });
    return dir;
}

QString settingsDirFor(const QString &appDir, const QStringList &searchDirs)
{
    const QDir app(appDir);
    if (app.exists(QStringLiteral("USE_LOCAL_CONFIGS")) || app.exists(QStringLiteral("USE_LOCAL_CONFIGS.txt")))
        return appDir;
    for (const QString &dir : searchDirs) {
        if (!dir.isEmpty() && QFileInfo(dir).isDir())
            return dir;
    }
    return QString();
}

QString settingsFile()
{
    if (SETTINGS_FILE.isEmpty()) {
        QStringList searchDirs;
#ifdef Q_OS_WIN
        const QString appData = commonAppData();
        if (!appData.isEmpty())
            searchDirs << appData + QDir::separator() + QStringLiteral("KORVEL") + QDir::separator() + QStringLiteral("Pob");
#else
        searchDirs << QDir::homePath() + QDir::separator() + QStringLiteral(".korvel/Pob")
                   << QStringLiteral("/etc/KORVEL/Pob");
#endif
        const QString dir = settingsDirFor(QCoreApplication::applicationDirPath(), searchDirs);
        SETTINGS_FILE = QDir::toNativeSeparators(dir) + QDir::separator() + SETTINGS_NAME;
    }
    return SETTINGS_FILE;
}

QString defaultLogPathFor(const QString &appDir, const QStringList &candidates)
{
    for (const QString &dir : candidates) {
        if (!QFileInfo(dir).isDir() && !QDir().mkpath(dir))
            continue;
        const QFileInfo info(dir);
        if (info.isDir() && info.isWritable())
            return dir;
    }
    return appDir + QDir::separator() + QStringLiteral("logs");
}

QString defaultLogPath()
{
    const QString appDir = QCoreApplication::applicationDirPath();
#ifdef Q_OS_WIN
    const QString appData = commonAppData();
    if (appData.isEmpty())
        return appDir + QDir::separator() + QStringLiteral("logs");
    const QString dir = appData + QDir::separator() + QStringLiteral("KORVEL") + QDir::separator() + QStringLiteral("Pob")
                        + QDir::separator() + QStringLiteral("logs");
    QDir().mkpath(dir);
    return dir;
#else
    return defaultLogPathFor(appDir, {QStringLiteral("/var/log/Pob"),
                                      QDir::homePath() + QDir::separator() + QStringLiteral(".korvel/Pob/logs")});
#endif
}
