#include "httpsession.h"

namespace relay::http {

namespace {

using Kind = Action::Kind;

Action act(Kind kind, QByteArray bytes = {}, int status = 0)
{
    Action a;
    a.kind = kind;
    a.bytes = std::move(bytes);
    a.status = status;
    return a;
}

bool sameDestination(const Destination &a, const Destination &b)
{
    return a.port == b.port && a.address == b.address
        && a.hostName.compare(b.hostName, Qt::CaseInsensitive) == 0;
}

QByteArrayView reason(int status)
{
    switch (status) {
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 407:
        return "Proxy Authentication Required";
    case 502:
        return "Bad Gateway";
    case 504:
        return "Gateway Timeout";
    default:
        return "Error";
    }
}

} // namespace

QByteArray errorResponse(int status, QByteArrayView body, bool close, QByteArrayView extra)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status).toByteArray()
        + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n";
    if (close)
        head += "Connection: close\r\n";
    return head + extra.toByteArray() + "\r\n" + body.toByteArray();
}

Session::Session(bool loginRequired) : m_loginRequired(loginRequired) { }

Session::~Session() = default;

bool Session::wantsClientData() const
{
    switch (m_state) {
    case State::Head:
        return true;
    case State::Forwarding:
    case State::Discarding:
        return !m_requestDone || m_in.size() < MaxHeadLength;
    case State::LoggingIn:
    case State::Connecting:
        return m_in.size() < MaxHeadLength;
    case State::Tunnel:
    case State::Closed:
        break;
    }
    return false;
}

Actions Session::clientData(QByteArrayView bytes)
{
    Actions actions;
    if (m_state == State::Closed || m_state == State::Tunnel || m_clientEnded)
        return actions;
    m_in.append(bytes);
    pump(actions);
    return actions;
}

Actions Session::clientEnded()
{
    Actions actions;
    if (m_state == State::Closed || m_state == State::Tunnel)
        return actions;
    m_clientEnded = true;
    pump(actions);
    return actions;
}

Actions Session::loginResult(bool accepted)
{
    Actions actions;
    if (m_state != State::LoggingIn)
        return actions;
    if (accepted) {
        m_accepted = m_pending;
        proceed(actions);
    } else {
        challenge(actions);
    }
    pump(actions);
    return actions;
}

Actions Session::connectResult(ConnectResult result)
{
    Actions actions;
    if (m_state != State::Connecting)
        return actions;
    if (result != ConnectResult::Connected)
        m_origin.reset(); // nothing to close
    switch (result) {
    case ConnectResult::Connected:
        break;
    case ConnectResult::NotFound:
        return fail(actions, 502, "The destination's name was not found.\n"), actions;
    case ConnectResult::Refused:
        return fail(actions, 502, "The destination refused the connection.\n"), actions;
    case ConnectResult::Unreachable:
        return fail(actions, 502, "The destination is unreachable.\n"), actions;
    case ConnectResult::TimedOut:
        return fail(actions, 504, "The destination did not answer in time.\n"), actions;
    case ConnectResult::Forbidden:
        return fail(actions, 403, "The destination is not allowed.\n"), actions;
    }
    m_response = std::make_unique<MessageReader>(MessageReader::Kind::Response);
    if (m_request.form == Form::Connect) {
        actions.push_back(act(Kind::SendToClient, ConnectionEstablished, 200));
        actions.push_back(act(Kind::BecomeTunnel, std::exchange(m_in, {})));
        m_state = State::Tunnel;
        return actions;
    }
    m_response->setHeadRequest(m_request.isHead());
    actions.push_back(act(Kind::SendToOrigin, forwardHead(m_request)));
    m_state = State::Forwarding;
    pump(actions);
    return actions;
}

Actions Session::originData(QByteArrayView bytes)
{
    Actions actions;
    if (m_state != State::Forwarding || m_responseDone) {
        // Nothing was asked: an origin that speaks out of turn is closed.
        if (m_state != State::Closed && m_state != State::Tunnel && m_origin)
            closeOrigin(actions);
        return actions;
    }
    while (!bytes.isEmpty()) {
        const MessageReader::Step step = m_response->read(bytes);
        if (step.error && !m_responseStarted) // nothing of it has reached the client
            return fail(actions, 502, "The destination's response was not HTTP.\n"), actions;
        if (step.consumed > 0) {
            actions.push_back(act(Kind::SendToClient, bytes.first(step.consumed).toByteArray()));
            m_responseStarted = true;
        }
        bytes = bytes.sliced(step.consumed);
        if (step.error)
            return closeAll(actions), actions;
        if (!step.complete)
            break;
        if (step.status / 100 == 1 && step.status != 101)
            continue; // an interim response (100 Continue): the final one follows
        m_responseDone = true;
        if (!m_requestDone || step.status == 101) {
            closeAll(actions); // answered before the body was sent, or switched: framing is lost
        } else {
            if (!step.keepAlive || !bytes.isEmpty()) // bytes beyond the response: out of turn
                closeOrigin(actions);
            finishExchange(actions);
        }
        pump(actions);
        break;
    }
    return actions;
}

Actions Session::originEnded()
{
    Actions actions;
    const bool waiting = m_state == State::Forwarding && !m_responseDone;
    if (m_state == State::Closed || m_state == State::Tunnel || !m_origin)
        return actions;
    m_origin.reset();
    if (!waiting) {
        m_response.reset();
        return actions;
    }
    const MessageReader::Step step = m_response->end();
    m_response.reset();
    if (step.complete || m_responseStarted) // read to the close: the client reads to ours
        closeAll(actions);
    else
        fail(actions, 502, "The destination closed the connection without a response.\n");
    return actions;
}

void Session::pump(Actions &actions)
{
    for (;;) {
        const State before = m_state;
        const qsizetype pending = m_in.size();
        switch (m_state) {
        case State::Head:
            readHead(actions);
            break;
        case State::Forwarding:
        case State::Discarding:
            forwardBody(actions);
            break;
        default:
            return;
        }
        if (m_state == before && m_in.size() == pending)
            return;
    }
}

void Session::readHead(Actions &actions)
{
    const qsizetype end = headEnd(m_in, qMax<qsizetype>(0, m_scanned - 2));
    if (end == 0 && m_in.size() < MaxHeadLength) {
        m_scanned = m_in.size();
        if (m_clientEnded) // nothing more will come
            closeAll(actions);
        return;
    }
    m_scanned = 0;
    const HeadResult head = readRequestHead(m_in);
    if (head.status != HeadStatus::Complete)
        return fail(actions, 400,
            "This is a proxy: send CONNECT host:port, or the whole URL (http://host/path).\n");
    m_request = head.request;
    m_requestDone = m_responseDone = m_responseStarted = false;
    m_body.reset();
    if (m_request.form == Form::Absolute) {
        m_body = std::make_unique<MessageReader>(MessageReader::Kind::Request);
        m_requestDone = m_body->read(QByteArrayView(m_in).first(m_request.headLength)).complete;
    }
    m_in.remove(0, m_request.headLength);
    startRequest(actions);
}

void Session::startRequest(Actions &actions)
{
    if (!m_loginRequired)
        return proceed(actions);
    const std::optional<Credentials> credentials =
        basicCredentials(m_request.header("Proxy-Authorization"));
    if (!credentials)
        return challenge(actions);
    if (credentials == m_accepted)
        return proceed(actions);
    m_pending = credentials;
    m_state = State::LoggingIn;
    Action login = act(Kind::Login);
    login.credentials = *credentials;
    actions.push_back(login);
}

void Session::proceed(Actions &actions)
{
    Action log = act(Kind::LogRequest, m_request.path);
    log.method = m_request.method;
    log.destination = m_request.destination;
    actions.push_back(log);
    const bool reuse = m_request.form == Form::Absolute && m_origin && m_response
        && sameDestination(*m_origin, m_request.destination);
    if (reuse) {
        m_response->setHeadRequest(m_request.isHead());
        actions.push_back(act(Kind::SendToOrigin, forwardHead(m_request)));
        m_state = State::Forwarding;
        return;
    }
    if (m_origin)
        closeOrigin(actions);
    m_origin = m_request.destination;
    Action connect = act(Kind::Connect);
    connect.destination = m_request.destination;
    actions.push_back(connect);
    m_state = State::Connecting;
}

void Session::challenge(Actions &actions)
{
    // A CONNECT's leftover bytes are not HTTP: only a new connection can retry it then.
    const bool keep = m_request.keepAlive() && !m_clientEnded
        && (m_request.form != Form::Connect || m_in.isEmpty());
    const QByteArray extra = QByteArray("Proxy-Authenticate: Basic realm=\"") + Realm + "\"\r\n";
    actions.push_back(act(Kind::SendToClient,
        errorResponse(407, "Credentials are needed to use this proxy.\n", !keep, extra), 407));
    if (!keep)
        return closeAll(actions);
    m_state = m_requestDone || !m_body ? State::Head : State::Discarding;
}

void Session::forwardBody(Actions &actions)
{
    if (m_requestDone) {
        if (m_state == State::Discarding)
            m_state = State::Head;
        return;
    }
    if (m_in.isEmpty()) {
        if (m_clientEnded) // the body was cut short
            closeAll(actions);
        return;
    }
    const MessageReader::Step step = m_body->read(m_in);
    if (step.error)
        return closeAll(actions);
    if (m_state == State::Forwarding && step.consumed > 0)
        actions.push_back(act(Kind::SendToOrigin, m_in.first(step.consumed)));
    m_in.remove(0, step.consumed);
    m_requestDone = step.complete;
}

void Session::finishExchange(Actions &actions)
{
    if (!m_request.keepAlive() || m_clientEnded)
        return closeAll(actions);
    m_state = State::Head;
}

void Session::fail(Actions &actions, int status, QByteArrayView body)
{
    actions.push_back(act(Kind::SendToClient, errorResponse(status, body, true), status));
    closeAll(actions);
}

void Session::closeOrigin(Actions &actions)
{
    m_origin.reset();
    m_response.reset();
    actions.push_back(act(Kind::CloseOrigin));
}

void Session::closeAll(Actions &actions)
{
    if (m_origin)
        closeOrigin(actions);
    actions.push_back(act(Kind::CloseClient));
    m_state = State::Closed;
}

} // namespace relay::http
