#include "rfc1929.h"

namespace relay::rfc1929 {

Result decode(const QByteArray &buffer)
{
    Result result;
    if (buffer.isEmpty())
        return result;
    if (quint8(buffer.at(0)) != Version) {
        result.status = Status::BadVersion;
        return result;
    }
    if (buffer.size() < 2)
        return result;
    const qsizetype nameLength = quint8(buffer.at(1));
    const qsizetype passwordAt = 2 + nameLength; // PLEN
    if (buffer.size() <= passwordAt)
        return result;
    const qsizetype length = passwordAt + 1 + quint8(buffer.at(passwordAt));
    if (buffer.size() < length)
        return result;
    result.status = Status::Complete;
    result.name = buffer.sliced(2, nameLength);
    result.password = buffer.sliced(passwordAt + 1, length - passwordAt - 1);
    result.consumed = length;
    return result;
}

QByteArray reply(bool success)
{
    QByteArray bytes(2, char(Version));
    bytes[1] = char(success ? 0x00 : 0x01);
    return bytes;
}

} // namespace relay::rfc1929
