// A set of measured durations in milliseconds and the figures drawn from it.
#pragma once

#include <QJsonObject>
#include <QList>

class Samples
{
public:
    void add(double ms) { m_values.append(ms); }
    int count() const { return int(m_values.size()); }
    bool isEmpty() const { return m_values.isEmpty(); }
    // The value below which the given fraction of the samples lie (nearest rank).
    double percentile(double fraction) const;
    double median() const { return percentile(0.5); }
    double p99() const { return percentile(0.99); }
    double mean() const;
    double min() const { return percentile(0.0); }
    double max() const { return percentile(1.0); }
    QJsonObject toJson() const;

private:
    QList<double> m_values;
};
