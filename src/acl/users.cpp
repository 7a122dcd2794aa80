#include "users.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sodium.h>

namespace acl {

namespace {

constexpr char HashPrefix[] = "$argon2id$";

void initSodium()
{
    if (sodium_init() < 0) // thread-safe; later calls only report that it is done
        qFatal("libsodium cannot be initialised");
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<QByteArray> unescape(QByteArrayView text)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            bytes += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(text[i + 2]) : -1;
        if (low < 0)
            return std::nullopt;
        bytes += char(high * 16 + low);
        i += 2;
    }
    return bytes;
}

QString pathIn(const QString &dir)
{
    return QDir(dir).filePath(QString::fromUtf16(UsersFileName));
}

} // namespace

bool isValidCredential(const QByteArray &text)
{
    return !text.isEmpty() && text.size() <= MaxCredentialLength;
}

QByteArray hashPassword(const QByteArray &password, HashCost cost)
{
    initSodium();
    const bool minimal = cost == HashCost::Minimal;
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.constData(), quint64(password.size()),
            minimal ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE,
            minimal ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE)
        != 0)
        qFatal("out of memory while hashing a password");
    return QByteArray(hash);
}

bool verifyPassword(const QByteArray &hash, const QByteArray &password)
{
    initSodium();
    return crypto_pwhash_str_verify(
               hash.constData(), password.constData(), quint64(password.size()))
        == 0;
}

std::optional<UserMap> parseUsers(const QByteArray &bytes, int *badLine)
{
    UserMap users;
    int number = 0;
    for (qsizetype start = 0; start < bytes.size();) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0)
            end = bytes.size();
        QByteArrayView line = QByteArrayView(bytes).sliced(start, end - start);
        start = end + 1;
        ++number;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const qsizetype colon = line.indexOf(':');
        const std::optional<QByteArray> name =
            colon < 0 ? std::nullopt : unescape(line.first(colon));
        const QByteArrayView hash = line.sliced(colon + 1);
        if (!name || !isValidCredential(*name) || !hash.startsWith(HashPrefix)
            || hash.size() >= crypto_pwhash_STRBYTES) {
            if (badLine)
                *badLine = number;
            return std::nullopt;
        }
        users[*name] = hash.toByteArray(); // a later line for the same name wins
    }
    return users;
}

QByteArray formatUsers(const UserMap &users)
{
    QByteArray bytes = "# socks4proxy users: name:argon2id hash (name bytes as %XX)\n";
    for (const auto &[name, hash] : users)
        bytes += name.toPercentEncoding() + ':' + hash + '\n';
    return bytes;
}

QString loadUsers(const QString &dir, UserMap *users)
{
    const QString path = pathIn(dir);
    QFile file(path);
    if (!file.exists() && !QFileInfo(path).isSymLink()) {
        users->clear();
        return {};
    }
    const auto fail = [&](const QString &reason) {
        return QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(path), reason);
    };
    if (QFileInfo(path).isDir())
        return fail(QStringLiteral("it is a directory"));
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return fail(file.errorString());
    int badLine = 0;
    std::optional<UserMap> parsed = parseUsers(bytes, &badLine);
    if (!parsed)
        return fail(QStringLiteral("line %1 is not a user").arg(badLine));
    *users = std::move(*parsed);
    return {};
}

QString saveUsers(const QString &dir, const UserMap &users)
{
    const QString path = pathIn(dir);
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    const QByteArray bytes = formatUsers(users);
    // The temporary file is made private before a byte goes into it; the rename keeps that.
    if (!QDir().mkpath(dir) || !file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file.write(bytes) != bytes.size() || !file.commit()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return QStringLiteral("Cannot save %1: %2").arg(QDir::toNativeSeparators(path), reason);
    }
    return {};
}

Users::Users(QString dir, QObject *parent) : QObject(parent), m_dir(std::move(dir)) { }

Users::~Users() = default;

QString Users::filePath() const
{
    return pathIn(m_dir);
}

QString Users::load()
{
    UserMap users;
    const QString error = loadUsers(m_dir, &users);
    if (error.isEmpty())
        replace(std::move(users));
    return error;
}

std::optional<QByteArray> Users::hashOf(const QByteArray &name) const
{
    const auto found = m_users.find(name);
    if (found == m_users.end())
        return std::nullopt;
    return found->second;
}

QString Users::setPassword(const QByteArray &name, const QByteArray &password, HashCost cost)
{
    if (QString error = load(); !error.isEmpty())
        return error;
    UserMap users = m_users;
    users[name] = hashPassword(password, cost);
    if (QString error = saveUsers(m_dir, users); !error.isEmpty())
        return error;
    return replace(std::move(users));
}

QString Users::remove(const QByteArray &name)
{
    if (QString error = load(); !error.isEmpty())
        return error;
    if (!m_users.contains(name))
        return {};
    UserMap users = m_users;
    users.erase(name);
    if (QString error = saveUsers(m_dir, users); !error.isEmpty())
        return error;
    return replace(std::move(users));
}

QString Users::replace(UserMap users)
{
    std::swap(m_users, users); // users: the old list now
    for (const auto &[name, hash] : users) {
        const auto now = m_users.find(name);
        if (now == m_users.end() || now->second != hash)
            Q_EMIT changed(name);
    }
    for (const auto &[name, hash] : m_users) {
        if (!users.contains(name))
            Q_EMIT changed(name);
    }
    return {};
}

} // namespace acl
