#include "linestore.h"

#include <algorithm>
#include <cstring>

namespace ui {

LineStore::LineStore() = default;
LineStore::~LineStore() = default;

char *LineStore::reserve(qsizetype n)
{
    char header[10];
    qsizetype headerSize = 0;
    for (quint64 rest = quint64(n);; rest >>= 7) {
        header[headerSize++] = char((rest & 0x7f) | (rest > 0x7f ? 0x80 : 0));
        if (rest <= 0x7f)
            break;
    }
    const qsizetype need = headerSize + n;
    if (m_blocks.empty() || m_blocks.back().capacity - m_blocks.back().used < need) {
        // A line never straddles two blocks; one longer than a block gets a block of its own.
        Block block;
        block.capacity = quint32(std::max(BlockBytes, need));
        block.data.reset(new char[block.capacity]);
        block.firstLine = m_size;
        m_blocks.push_back(std::move(block));
    }
    Block &block = m_blocks.back();
    if (m_size % IndexStride == 0)
        m_index.push_back({ quint32(m_blocksDropped + m_blocks.size() - 1), block.used });
    std::memcpy(block.data.get() + block.used, header, size_t(headerSize));
    char *bytes = block.data.get() + block.used + headerSize;
    block.used += quint32(need);
    ++m_size;
    return bytes;
}

void LineStore::append(QStringView line)
{
    // Status lines are nearly always ASCII: those are narrowed straight into the block.
    const bool ascii =
        std::all_of(line.begin(), line.end(), [](QChar c) { return c.unicode() < 0x80; });
    if (ascii) {
        char *out = reserve(line.size());
        for (const QChar c : line)
            *out++ = char(c.unicode());
        return;
    }
    const QByteArray utf8 = line.toUtf8();
    std::memcpy(reserve(utf8.size()), utf8.constData(), size_t(utf8.size()));
}

void LineStore::dropBefore(qsizetype line)
{
    if (m_blocks.size() < 2 || m_blocks[1].firstLine > line)
        return;
    while (m_blocks.size() > 1 && m_blocks[1].firstLine <= line) {
        m_blocks.pop_front();
        ++m_blocksDropped;
    }
    m_first = m_blocks.front().firstLine;
    while (!m_index.empty() && m_index.front().block < m_blocksDropped) {
        m_index.pop_front();
        ++m_indexDropped;
    }
    m_lastLine = -1;
}

QByteArrayView LineStore::step(Position &pos) const
{
    if (pos.offset == m_blocks[pos.block - m_blocksDropped].used) {
        ++pos.block;
        pos.offset = 0;
    }
    const char *data = m_blocks[pos.block - m_blocksDropped].data.get();
    quint64 length = 0;
    for (int shift = 0;; shift += 7) {
        const auto byte = quint8(data[pos.offset++]);
        length |= quint64(byte & 0x7f) << shift;
        if (!(byte & 0x80))
            break;
    }
    const QByteArrayView line(data + pos.offset, qsizetype(length));
    pos.offset += quint32(length);
    return line;
}

QByteArrayView LineStore::utf8(qsizetype i) const
{
    Position pos;
    if (i == m_lastLine + 1 && m_lastLine >= 0) {
        pos = m_afterLast;
    } else {
        // Stepping starts at the nearest indexed line, or where the kept lines begin when that
        // line has been let go.
        const qsizetype entry = i / IndexStride - m_indexDropped;
        qsizetype skip = i % IndexStride;
        if (entry >= 0) {
            pos = m_index[size_t(entry)];
        } else {
            pos = { m_blocksDropped, 0 };
            skip = i - m_first;
        }
        for (; skip > 0; --skip)
            step(pos);
    }
    const QByteArrayView line = step(pos);
    m_lastLine = i;
    m_afterLast = pos;
    return line;
}

} // namespace ui
