#pragma once

#include <QByteArrayView>
#include <QtGlobal>

#include <memory>

struct http_parser;
struct http_parser_settings;

/// Where HTTP/1.x messages end in a stream of bytes, as http-parser frames them: by
/// Content-Length, chunked encoding (passed through unchanged, trailers included), or for a
/// response without either, the end of the connection; no body after a HEAD request's
/// response, a 1xx, 204 or 304. The bytes are only looked at, never changed.
namespace relay::http {

class MessageReader
{
public:
    enum class Kind { Request, Response };
    struct Step
    {
        qsizetype consumed = 0; ///< bytes of the current message among those given
        bool complete = false; ///< the message ends with the last consumed byte
        bool error = false; ///< the bytes break HTTP framing: the connection cannot go on
        int status = 0; ///< a complete response's status code
        bool keepAlive = true; ///< a complete message allows another on the same connection
    };

    explicit MessageReader(Kind kind);
    ~MessageReader();
    MessageReader(const MessageReader &) = delete;
    MessageReader &operator=(const MessageReader &) = delete;

    /// Reads bytes of the stream up to the end of the current message at most: after a
    /// complete step the next call reads the next message.
    Step read(QByteArrayView bytes);
    /// The stream has ended: completes a response read to the close, else an error unless no
    /// message had begun.
    Step end();
    /// The next response answers a HEAD request: it has a head only.
    void setHeadRequest(bool head) { m_headRequest = head; }
    /// Whether some bytes of an unfinished message have been read.
    bool inMessage() const { return m_inMessage; }

private:
    static const http_parser_settings &settings();
    static int onMessageBegin(http_parser *parser);
    static int onHeadersComplete(http_parser *parser);
    static int onMessageComplete(http_parser *parser);
    Step finish(size_t parsed);

    std::unique_ptr<http_parser> m_parser;
    bool m_headRequest = false;
    bool m_inMessage = false;
    bool m_complete = false;
};

} // namespace relay::http
