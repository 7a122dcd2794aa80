#pragma once

#include "connectionsmodel.h"

#include <QWidget>
#include <deque>

namespace ui {

/// The total rates up and down, one sample per snapshot, over the last minute.
class RateHistory
{
public:
    static constexpr std::chrono::seconds Span { 60 };
    struct Sample
    {
        SteadyClock::time_point at;
        double up = 0; ///< bytes per second since the sample before
        double down = 0;
    };

    /// Takes the totals counted at `now`; the rates are the growth since the previous call, unless
    /// that was more than ConnectionsModel::MaxInterval ago (sampling paused while hidden).
    /// Samples older than Span before `now` are dropped.
    void add(SteadyClock::time_point now, qint64 bytesUp, qint64 bytesDown);

    const std::deque<Sample> &samples() const { return m_samples; }
    /// The highest rate either way among the samples.
    double peak() const;

private:
    std::deque<Sample> m_samples;
    bool m_hasLast = false;
    SteadyClock::time_point m_lastAt;
    qint64 m_lastUp = 0;
    qint64 m_lastDown = 0;
};

/// A scale's top: the smallest of 1, 2 or 5 times a power of ten (in B/s, KiB/s, MiB/s ...)
/// that is at least `peak`; 1 KiB/s at least.
double niceScale(double peak);

/// Draws a RateHistory: the rate up and the rate down as two lines over the last minute, the
/// scale's top and middle in human units on the left, the time under it.
class RateGraph final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RateGraph)

public:
    explicit RateGraph(const RateHistory &history, QWidget *parent = nullptr);
    ~RateGraph() override;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    static QColor upColor();
    static QColor downColor();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    const RateHistory &m_history;
};

} // namespace ui
