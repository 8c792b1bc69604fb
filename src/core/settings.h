// settings.xml: where it is looked for, how it is read, and the records it yields.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>

class QIODevice;
class QXmlStreamReader;

// One register attached by USB (or by a COM port in the Windows build).
struct PobSettings
{
    QString id;
    QString port;
    bool hotplugged = false;
};

// Protocol of a Sarn device whose file names none (or a number other than 2
// or 3): version 3, the registers' current serial protocol.
constexpr uint8_t DEFAULT_SARN_PROTOCOL = 3;

// One register on RS-232 behind the serial proxy.
struct SarnSettings
{
    QString id;
    QString appPortName;
    int32_t appBaudRate = 115200;
    QString devPortName;
    int32_t devBaudRate = 115200;
    uint8_t protocol = DEFAULT_SARN_PROTOCOL;
};

struct Settings
{
    QList<PobSettings> pobDevices;
    QList<SarnSettings> sarnDevices;
    QString logsDir;
    bool hotplug = false;

    // Reads settingsFile(). Never fails: whatever could be read is used,
    // everything else keeps its default; logsDir is never empty afterwards.
    static Settings loadSettings();

    // Reads the element tree from a stream; stops quietly at the first XML
    // error, keeping what was read before it. logsDir stays as the file gives it.
    static Settings parse(QIODevice &device);

private:
    static PobSettings parsePobDevice(QXmlStreamReader &xml);
    static SarnSettings parseSarnDevice(QXmlStreamReader &xml);
    struct PortSettings
    {
        QString name;
        int32_t baudRate = 115200;
    };
    static PortSettings parsePort(QXmlStreamReader &xml, const QString &endTag);
    static QString parseLog(QXmlStreamReader &xml);
};

// Full path of the settings file, computed on the first call and fixed afterwards.
QString settingsFile();
// The directory whose settings.xml is used: the application's directory when a
// local-config marker is there, else the first existing directory of
// searchDirs; empty when none qualifies.
QString settingsDirFor(const QString &appDir, const QStringList &searchDirs);

// The default log directory; creates it when needed.
QString defaultLogPath();
// The first candidate that exists (or can be created) and is writable, else
// appDir + "/logs", unchecked.
QString defaultLogPathFor(const QString &appDir, const QStringList &candidates);
