#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

/// The allow-list: which client addresses the proxy serves, the check of a typed entry, and the
/// "IPs.txt" file format. Pure functions, apart from load() and save(), which touch one file.
namespace acl {

/// The file that keeps the list, in the directory that holds the executable.
inline constexpr char16_t FileName[] = u"IPs.txt";

/// True when the answer typed into the Add prompt passes the check: four parts split at ".",
/// each numeric (blanks around it, an optional sign and an optional exponent allowed) with a
/// value from 0 to 255. The entry is stored exactly as typed; only exact matches admit anyone.
bool isValidEntry(const QString &answer);

/// True when the address equals one entry character for character (the admission rule).
bool admits(const QStringList &entries, const QString &address);

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
