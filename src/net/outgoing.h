#pragma once

#include <QByteArray>

namespace net {

/// What one connection still has to send, in order: first the bytes spliced into its pipe
/// (moved there straight from another socket, never copied through user space), then the bytes
/// queued by copy. Keeping that order is why bytes are spliced in only while nothing is queued
/// by copy. Owned by a stream while connected, then by the lingering close.
class Outgoing final
{
public:
    Outgoing() = default;
    ~Outgoing();
    Outgoing(Outgoing &&other) noexcept;
    Outgoing &operator=(Outgoing &&other) noexcept;
    Outgoing(const Outgoing &) = delete;
    Outgoing &operator=(const Outgoing &) = delete;

    enum class Result { Done, Blocked, Failed };

    /// Bytes not yet handed to the kernel's socket buffer.
    qint64 size() const { return m_piped + (m_bytes.size() - m_sent); }
    bool hasCopied() const { return m_sent < m_bytes.size(); }
    /// What the pipe can still take; 0 while copies are queued (they must go out first).
    qint64 pipeRoom() const { return hasCopied() ? 0 : m_capacity - m_piped; }
    /// The pipe is open and holds all it can.
    bool pipeFull() const { return m_pipeRead >= 0 && m_piped >= m_capacity; }
    /// Whether the socket this goes to refused splice, so that everything is copied from now on.
    bool copyOnly() const { return m_copyOnly; }

    /// Whether errno from splice means the kernel will not splice these descriptors at all.
    static bool spliceRefused(int error);

    void append(const QByteArray &bytes);
    /// Moves up to maxLen bytes from socket `from` into the pipe (opened on first use). Returns
    /// the count; 0 when nothing was there, there was no room or the connection failed (then
    /// `error` is its errno, which the kernel reports only once); -1 when splice cannot be used
    /// here, so the caller copies.
    qint64 spliceFrom(int from, qint64 maxLen, int &error);
    /// Hands as much as the socket takes to `fd`, pipe first. On Failed, `error` is the errno.
    Result flush(int fd, int &error);
    /// Forgets everything queued; an empty pipe is kept for the next connection.
    void clear();

private:
    bool openPipe();
    void closePipe();
    void unpipe();

    int m_pipeRead = -1;
    int m_pipeWrite = -1;
    qint64 m_piped = 0;
    qint64 m_capacity = 0;
    QByteArray m_bytes;
    qsizetype m_sent = 0;
    bool m_copyOnly = false;
};

} // namespace net
