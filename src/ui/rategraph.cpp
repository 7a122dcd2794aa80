#include "rategraph.h"

#include "connectiontext.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace ui {

namespace {

constexpr std::chrono::seconds MaxStep { 3 };

} // namespace

void RateHistory::add(SteadyClock::time_point now, qint64 bytesUp, qint64 bytesDown)
{
    if (m_hasLast && now > m_lastAt && now - m_lastAt <= ConnectionsModel::MaxInterval) {
        const double seconds = std::chrono::duration<double>(now - m_lastAt).count();
        m_samples.push_back({ now, std::max(0.0, double(bytesUp - m_lastUp) / seconds),
            std::max(0.0, double(bytesDown - m_lastDown) / seconds) });
    }
    if (!m_hasLast || now > m_lastAt) {
        m_hasLast = true;
        m_lastAt = now;
        m_lastUp = bytesUp;
        m_lastDown = bytesDown;
    }
    while (!m_samples.empty() && m_samples.front().at < now - Span)
        m_samples.pop_front();
}

double RateHistory::peak() const
{
    double peak = 0;
    for (const Sample &sample : m_samples)
        peak = std::max({ peak, sample.up, sample.down });
    return peak;
}

double niceScale(double peak)
{
    double unit = 1;
    while (peak > 1000 * unit)
        unit *= 1024;
    unit = std::max(unit, 1024.0);
    for (double step = 1;; step *= 10) {
        for (const double m : { 1.0, 2.0, 5.0 }) {
            if (m * step * unit >= peak)
                return m * step * unit;
        }
    }
}

RateGraph::RateGraph(const RateHistory &history, QWidget *parent)
    : QWidget(parent), m_history(history)
{
    setObjectName(QStringLiteral("rateGraph"));
    setAttribute(Qt::WA_OpaquePaintEvent);
}

RateGraph::~RateGraph() = default;

QSize RateGraph::sizeHint() const
{
    return { 420, 150 };
}

QSize RateGraph::minimumSizeHint() const
{
    return { 240, 100 };
}

QColor RateGraph::upColor()
{
    return QColor(0xd0, 0x5a, 0x1c);
}

QColor RateGraph::downColor()
{
    return QColor(0x1f, 0x6f, 0xb5);
}

void RateGraph::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), palette().base());
    const QFontMetrics fm = fontMetrics();
    const double scale = niceScale(m_history.peak());
    const QString top = formatRate(scale);
    const int labelWidth = fm.horizontalAdvance(top) + 8;
    const QRect plot = rect().adjusted(labelWidth, fm.height() + 4, -8, -(fm.height() + 6));
    if (plot.width() < 10 || plot.height() < 10)
        return;

    // The frame, a middle line, the scale on the left and the time underneath.
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(plot);
    p.setPen(QPen(palette().color(QPalette::Midlight), 1, Qt::DotLine));
    p.drawLine(plot.left(), plot.center().y(), plot.right(), plot.center().y());
    for (const int s : { 15, 30, 45 }) {
        const int x = plot.left() + plot.width() * s / 60;
        p.drawLine(x, plot.top(), x, plot.bottom());
    }
    p.setPen(palette().color(QPalette::Text));
    const int right = plot.left() - 4;
    p.drawText(QRect(0, plot.top() - fm.height() / 2, right, fm.height()),
        Qt::AlignRight | Qt::AlignVCenter, top);
    p.drawText(QRect(0, plot.center().y() - fm.height() / 2, right, fm.height()),
        Qt::AlignRight | Qt::AlignVCenter, formatRate(scale / 2));
    p.drawText(QRect(0, plot.bottom() - fm.height() / 2, right, fm.height()),
        Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("0"));
    const int under = plot.bottom() + 3;
    p.drawText(QRect(plot.left(), under, plot.width(), fm.height()), Qt::AlignLeft,
        QStringLiteral("\u221260 s"));
    p.drawText(QRect(plot.left(), under, plot.width(), fm.height()), Qt::AlignHCenter,
        QStringLiteral("\u221230 s"));
    p.drawText(QRect(plot.left(), under, plot.width(), fm.height()), Qt::AlignRight,
        QStringLiteral("now"));

    // The legend, above the plot on the right.
    int x = plot.right();
    for (const auto &[caption, colour] : { std::pair { QStringLiteral("down"), downColor() },
             std::pair { QStringLiteral("up"), upColor() } }) {
        x -= fm.horizontalAdvance(caption);
        p.setPen(palette().color(QPalette::Text));
        p.drawText(x, fm.ascent() + 1, caption);
        x -= 18;
        p.setPen(QPen(colour, 2));
        p.drawLine(x, fm.height() / 2 + 1, x + 14, fm.height() / 2 + 1);
        x -= 10;
    }

    const auto &samples = m_history.samples();
    if (samples.empty())
        return;
    const SteadyClock::time_point now = samples.back().at;
    const double span = std::chrono::duration<double>(RateHistory::Span).count();
    const auto point = [&](const RateHistory::Sample &s, double rate) {
        const double age = std::chrono::duration<double>(now - s.at).count();
        return QPointF(plot.right() - plot.width() * age / span,
            plot.bottom() - plot.height() * std::min(rate / scale, 1.0));
    };
    p.setRenderHint(QPainter::Antialiasing);
    p.setClipRect(plot);
    for (const bool up : { false, true }) {
        QPainterPath path;
        const RateHistory::Sample *previous = nullptr;
        for (const RateHistory::Sample &s : samples) {
            const QPointF at = point(s, up ? s.up : s.down);
            // A pause in sampling (the window was hidden) is a gap, not a line across it.
            if (!previous || s.at - previous->at > MaxStep)
                path.moveTo(at);
            else
                path.lineTo(at);
            previous = &s;
        }
        p.setPen(QPen(up ? upColor() : downColor(), 2));
        p.drawPath(path);
    }
}

} // namespace ui
