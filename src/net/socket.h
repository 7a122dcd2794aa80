#pragma once

#include <utility>

namespace net {

class Reactor;

/// The one owner of a socket descriptor: move-only, closed when destroyed. A socket in a
/// reactor's set (watched, or handed over between two watches) leaves the set by closing.
class Socket final
{
public:
    Socket() = default;
    explicit Socket(int fd) : m_fd(fd) { }
    ~Socket() { close(); }
    Socket(Socket &&other) noexcept
        : m_fd(std::exchange(other.m_fd, -1)), m_set(std::exchange(other.m_set, nullptr))
    { }
    Socket &operator=(Socket &&other) noexcept
    {
        if (this != &other) {
            close();
            m_fd = std::exchange(other.m_fd, -1);
            m_set = std::exchange(other.m_set, nullptr);
        }
        return *this;
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    int fd() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    /// Closes now; harmless when closed.
    void close();

private:
    friend class Reactor;
    int m_fd = -1;
    Reactor *m_set = nullptr; ///< the reactor whose epoll set holds it
};

} // namespace net
