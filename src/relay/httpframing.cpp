#include "httpframing.h"

#include <http_parser.h>

namespace relay::http {

namespace {

MessageReader &reader(http_parser *parser)
{
    return *static_cast<MessageReader *>(parser->data);
}

} // namespace

const http_parser_settings &MessageReader::settings()
{
    static const http_parser_settings table = [] {
        http_parser_settings s;
        http_parser_settings_init(&s);
        s.on_message_begin = onMessageBegin;
        s.on_headers_complete = onHeadersComplete;
        s.on_message_complete = onMessageComplete;
        return s;
    }();
    return table;
}

MessageReader::MessageReader(Kind kind) : m_parser(std::make_unique<http_parser>())
{
    http_parser_init(m_parser.get(), kind == Kind::Request ? HTTP_REQUEST : HTTP_RESPONSE);
    m_parser->data = this;
}

MessageReader::~MessageReader() = default;

int MessageReader::onMessageBegin(http_parser *parser)
{
    reader(parser).m_inMessage = true;
    return 0;
}

int MessageReader::onHeadersComplete(http_parser *parser)
{
    // 1: this response has no body whatever its headers say (http-parser would read a
    // Content-Length body after a 204 or 304).
    const unsigned status = parser->status_code;
    return parser->type == HTTP_RESPONSE
            && (reader(parser).m_headRequest || status / 100 == 1 || status == 204 || status == 304)
        ? 1
        : 0;
}

int MessageReader::onMessageComplete(http_parser *parser)
{
    MessageReader &r = reader(parser);
    r.m_inMessage = false;
    r.m_complete = true;
    http_parser_pause(parser, 1); // stop right after the message's last byte
    return 0;
}

MessageReader::Step MessageReader::finish(size_t parsed)
{
    Step step;
    step.consumed = qsizetype(parsed);
    const http_errno error = HTTP_PARSER_ERRNO(m_parser.get());
    step.error = error != HPE_OK && error != HPE_PAUSED;
    if (m_complete && !step.error) {
        step.complete = true;
        step.status = int(m_parser->status_code);
        step.keepAlive = http_should_keep_alive(m_parser.get()) != 0;
    }
    m_complete = false;
    if (error == HPE_PAUSED)
        http_parser_pause(m_parser.get(), 0);
    return step;
}

MessageReader::Step MessageReader::read(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return {};
    return finish(
        http_parser_execute(m_parser.get(), &settings(), bytes.data(), size_t(bytes.size())));
}

MessageReader::Step MessageReader::end()
{
    const bool began = m_inMessage;
    Step step = finish(http_parser_execute(m_parser.get(), &settings(), nullptr, 0));
    step.error = step.error || (began && !step.complete);
    return step;
}

} // namespace relay::http
