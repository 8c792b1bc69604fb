// Turns the bench's measurements into bench/results: a JSON file and a Markdown table with the targets marked.
#pragma once

#include "procsampler.h"

#include <QJsonObject>
#include <QList>
#include <QString>

class Report
{
public:
    explicit Report(const QJsonObject &root) : m_root(root) {}

    // Writes latest.json and latest.md to dir; findings (Markdown, may be
    // empty) is appended to latest.md as it stands.
    bool write(const QString &dir, const QString &findings = QString()) const;
    QString markdown() const;

    static bool writeSoak(const QString &file, int registers, int durationS, int intervalS, double ranS,
                          const QList<ProcSampler::Snapshot> &snapshots, const QList<qint64> &cycles,
                          const QList<int> &stalls, int mismatches, qint64 echoed, int exitCode);

private:
    double number(const QString &path) const;
    QString targets() const;

    QJsonObject m_root;
};
