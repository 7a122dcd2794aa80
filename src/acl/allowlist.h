#pragma once

#include "range.h"

#include <QAbstractListModel>
#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <vector>

/// The allow-list: which client addresses the proxy serves, the check of a typed entry, and the
/// "IPs.txt" file format. Pure functions, apart from load() and save(), which touch one file,
/// and the list itself (AllowList).
namespace acl {

/// The file that keeps the list.
inline constexpr char16_t FileName[] = u"IPs.txt";

/// True when the answer typed into the Add prompt passes the check. An answer with "/" or ":"
/// must be an IPv4 range or an IPv6 address or range (see rangeOf). Any other answer passes as
/// it always has: four parts split at ".", each numeric (blanks around it, an optional sign and
/// an optional exponent allowed) with a value from 0 to 255. The entry is stored exactly as
/// typed; only those written as rangeOf describes ever admit anyone.
bool isValidEntry(const QString &answer);

/// The allow-list as the window shows it and the relay asks it: the entries in order, as typed
/// (file order, then additions; duplicates allowed), and what they admit, worked out once
/// whenever they change, not at every connection request.
class AllowList final : public QAbstractListModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AllowList)

public:
    explicit AllowList(QObject *parent = nullptr);
    ~AllowList() override;

    const QStringList &entries() const { return m_entries; }
    void setEntries(const QStringList &entries);
    void append(const QString &entry);
    void removeAt(int row);
    /// Whether a client at `client` may connect. IPv4 clients arrive as plain IPv4, never
    /// ::ffff: form (a mapped address is taken as the IPv4 client all the same). The cost is
    /// one comparison per entry that can match, whatever its form.
    bool admits(const QHostAddress &client) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    void rebuildRanges();

    QStringList m_entries;
    std::vector<Range> m_ranges; ///< of the entries that can match
};

/// Splits the file's bytes into entries: lines end at CR LF, LF or a lone CR; a last line without
/// an end is an entry; empty lines are empty entries. Bytes map one to one onto characters
/// (Latin-1), so any byte survives a load and save unchanged.
QStringList parseFile(const QByteArray &bytes);
/// The file's bytes for the entries: each entry followed by CR LF.
QByteArray formatFile(const QStringList &entries);

struct LoadResult
{
    QStringList entries;
    bool exists = false; ///< the file was there
    bool ok = true; ///< false: it exists but could not be read (see error)
    QString error; ///< the reason, for the operator
};
/// Reads "IPs.txt" from dir. A missing file is an empty list and ok.
LoadResult load(const QString &dir);

struct SaveResult
{
    bool ok = true;
    QString error; ///< names the file and the reason
};
/// Writes "IPs.txt" into dir through a temporary file renamed over the old one, so that a crash
/// during the save never leaves a cut or empty list.
SaveResult save(const QString &dir, const QStringList &entries);

} // namespace acl
