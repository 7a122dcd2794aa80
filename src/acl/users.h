#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <map>
#include <optional>

/// The users who may log in with a password: the "users.txt" file beside "IPs.txt" (its format
/// pure), the password hashes, and the list the window edits and the login check reads.
namespace acl {

/// The file that keeps the users.
inline constexpr char16_t UsersFileName[] = u"users.txt";
/// Names and passwords are 1 to 255 bytes: what one RFC 1929 length byte can carry.
inline constexpr int MaxCredentialLength = 255;

/// Name (any bytes) to its password's hash (libsodium's argon2id string, salted).
using UserMap = std::map<QByteArray, QByteArray>;

/// True for a name or password of 1 to 255 bytes.
bool isValidCredential(const QByteArray &text);

/// How much a hash costs to make and check: Interactive for every user the program keeps;
/// Minimal (still salted argon2id) only where speed matters more than strength, such as tests.
enum class HashCost { Interactive, Minimal };
/// A new salted argon2id hash of the password (tens of milliseconds and 64 MiB at Interactive).
QByteArray hashPassword(const QByteArray &password, HashCost cost = HashCost::Interactive);
/// Whether password matches hash; as slow as making the hash. Safe on any thread.
bool verifyPassword(const QByteArray &hash, const QByteArray &password);

/// Parses the file: one user per line, "name:hash", lines ended by LF or CR LF; empty lines and
/// lines starting with "#" are skipped. In the name, "%" followed by two hex digits stands for
/// that byte. On a malformed line (no ":", a bad escape, a name of 0 or over 255 bytes, a hash
/// that is not argon2id) nothing is returned and *badLine is its number, from 1.
std::optional<UserMap> parseUsers(const QByteArray &bytes, int *badLine = nullptr);
/// The file's bytes: a comment line, then each user in name order. Bytes of a name other than
/// letters, digits and "-._~" are written as "%XX", so a name can hold any byte.
QByteArray formatUsers(const UserMap &users);

/// The users as kept in "users.txt" in one folder. Every edit first reads the file again (the
/// command line may have changed it meanwhile), then saves it at once: atomically, mode 0600.
/// A file that exists but cannot be read or parsed is never written over.
class Users final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Users)

public:
    explicit Users(QString dir, QObject *parent = nullptr);
    ~Users() override;

    QString filePath() const;
    /// Reads the file again; on failure the list is left as it was and the reason returned.
    QString load();
    const UserMap &users() const { return m_users; }
    bool isEmpty() const { return m_users.empty(); }
    /// The user's hash, or nothing for a name that is not a user.
    std::optional<QByteArray> hashOf(const QByteArray &name) const;

    /// Adds the user, or gives an existing one this password; on failure, the reason.
    QString setPassword(
        const QByteArray &name, const QByteArray &password, HashCost cost = HashCost::Interactive);
    /// Removes the user (nothing to do for a name that is not one); on failure, the reason.
    QString remove(const QByteArray &name);

Q_SIGNALS:
    /// The user's password changed, or the user was added or removed (by any edit or load).
    void changed(const QByteArray &name);

private:
    QString replace(UserMap users);

    QString m_dir;
    UserMap m_users;
};

/// Reads "users.txt" from dir into *users; a missing file is no users. On failure, the reason.
QString loadUsers(const QString &dir, UserMap *users);
/// Writes "users.txt" into dir (mode 0600) through a temporary file renamed over the old one.
/// On failure, the reason.
QString saveUsers(const QString &dir, const UserMap &users);

} // namespace acl
