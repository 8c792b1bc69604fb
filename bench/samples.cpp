// A set of measured durations in milliseconds and the figures drawn from it.
#include "samples.h"

#include <QJsonArray>
#include <algorithm>
#include <cmath>

double Samples::percentile(double fraction) const
{
    if (m_values.isEmpty())
        return qQNaN();
    QList<double> sorted = m_values;
    std::sort(sorted.begin(), sorted.end());
    const int rank = int(std::ceil(fraction * sorted.size()));
    return sorted[std::clamp(rank - 1, 0, int(sorted.size()) - 1)];
}

double Samples::mean() const
{
    if (m_values.isEmpty())
        return qQNaN();
    double sum = 0;
    for (double v : m_values)
        sum += v;
    return sum / m_values.size();
}

QJsonObject Samples::toJson() const
{
    QJsonObject o;
    o[QStringLiteral("count")] = count();
    if (isEmpty())
        return o;
    o[QStringLiteral("median_ms")] = median();
    o[QStringLiteral("p99_ms")] = p99();
    o[QStringLiteral("mean_ms")] = mean();
    o[QStringLiteral("min_ms")] = min();
    o[QStringLiteral("max_ms")] = max();
    return o;
}
