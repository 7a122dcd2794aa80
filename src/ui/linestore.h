#pragma once

#include <QByteArrayView>
#include <QString>
#include <deque>
#include <memory>

namespace ui {

/// Lines of text added at the end and let go from the front, kept compactly: a day of traffic
/// writes millions of them. Each line is stored as UTF-8 after its length (one byte below 128),
/// inside large blocks that are filled one after another and never moved, so the store grows
/// without copying or doubling, and the oldest lines go a whole block at a time. Only every
/// IndexStride-th line's position is remembered; the lines between are found by stepping over
/// the lengths. Lines keep their numbers for the store's life.
class LineStore
{
public:
    static constexpr qsizetype BlockBytes = 1 << 20;
    static constexpr qsizetype IndexStride = 32;

    LineStore();
    ~LineStore();
    LineStore(const LineStore &) = delete;
    LineStore &operator=(const LineStore &) = delete;

    void append(QStringView line);
    /// Lines added so far, including those let go.
    qsizetype size() const { return m_size; }
    /// The oldest line still kept.
    qsizetype first() const { return m_first; }
    /// Lets go of the oldest blocks whose lines all come before `line`; never the newest block.
    void dropBefore(qsizetype line);
    /// Line i (first() <= i < size()) as UTF-8, valid until its block is let go. Reading the next
    /// line after this one costs one step; any other line at most IndexStride steps.
    QByteArrayView utf8(qsizetype i) const;
    QString at(qsizetype i) const { return QString::fromUtf8(utf8(i)); }

private:
    struct Block
    {
        std::unique_ptr<char[]> data;
        quint32 used = 0;
        quint32 capacity = 0;
        qsizetype firstLine = 0;
    };
    struct Position
    {
        quint32 block = 0; ///< counted from the first block ever made
        quint32 offset = 0;
    };
    /// Room for one line of n bytes after its length; returns where the bytes go.
    char *reserve(qsizetype n);
    /// The line at pos: its bytes, and pos moved on to the next line.
    QByteArrayView step(Position &pos) const;

    std::deque<Block> m_blocks;
    std::deque<Position> m_index; ///< the position of every IndexStride-th line still kept
    quint32 m_blocksDropped = 0;
    qsizetype m_indexDropped = 0; ///< entries of m_index let go with their blocks
    qsizetype m_size = 0;
    qsizetype m_first = 0;
    mutable qsizetype m_lastLine = -1; ///< the line utf8() read last, and where the next starts
    mutable Position m_afterLast;
};

} // namespace ui
