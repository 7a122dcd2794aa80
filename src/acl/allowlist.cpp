#include "allowlist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>

namespace acl {

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

QString filePath(const QString &dir)
{
    return QDir(dir).filePath(QString::fromUtf16(FileName));
}

// The rule is written out by hand on purpose. Qt's number and address parsers accept notations
// that the Add check must refuse or treat differently: toDouble() takes "inf", "nan" and
// locale-dependent forms, toInt(nullptr, 0) takes "0x..." and octal, and QHostAddress accepts
// short forms such as "10.1" or "167772161". A part is numeric when it holds decimal digits
// with an optional sign and an optional exponent, and blanks around it; nothing else.
bool parseNumericPart(const QString &part, double *value)
{
    qsizetype begin = 0;
    qsizetype end = part.size();
    while (begin < end && isBlank(part.at(begin)))
        ++begin;
    while (end > begin && isBlank(part.at(end - 1)))
        --end;

    // The grammar: [sign] digits [ (e|E) [sign] digits ]. A part never contains ".", so there is
    // no fraction; an exponent can still make the value fractional ("1e-1" is 0.1).
    std::string ascii; // the validated text, handed to strtod below
    qsizetype i = begin;
    bool negative = false;
    if (i < end && (part.at(i) == u'+' || part.at(i) == u'-')) {
        negative = part.at(i) == u'-';
        ascii += part.at(i).toLatin1();
        ++i;
    }
    const qsizetype mantissaBegin = i;
    bool mantissaNonZero = false;
    while (i < end && isDigit(part.at(i))) {
        mantissaNonZero = mantissaNonZero || part.at(i) != u'0';
        ascii += part.at(i).toLatin1();
        ++i;
    }
    if (i == mantissaBegin)
        return false; // no digits: empty part, a bare sign, "&H0A", "x"...
    if (i < end && (part.at(i) == u'e' || part.at(i) == u'E')) {
        ascii += 'e';
        ++i;
        if (i < end && (part.at(i) == u'+' || part.at(i) == u'-')) {
            ascii += part.at(i).toLatin1();
            ++i;
        }
        const qsizetype exponentBegin = i;
        while (i < end && isDigit(part.at(i))) {
            ascii += part.at(i).toLatin1();
            ++i;
        }
        if (i == exponentBegin)
            return false; // "1e" or "1e+" has no exponent
    }
    if (i != end)
        return false; // anything else inside the part

    double result = 0.0;
    if (mantissaNonZero) {
        // Only digits, sign and 'e' reach strtod, so the C locale's other notations ("inf",
        // "0x", a decimal point) cannot come in. Out of range it gives +-HUGE_VAL or a value
        // rounded towards zero, both on the right side of the 0..255 check.
        result = std::strtod(ascii.c_str(), nullptr);
        // A nonzero negative number stays below zero even when it rounds to -0.0 ("-1e-999").
        if (negative && result == 0.0)
            result = -std::numeric_limits<double>::denorm_min();
    }
    *value = result;
    return true;
}

} // namespace

bool isValidEntry(const QString &answer)
{
    if (answer.contains(u'/') || answer.contains(u':'))
        return rangeOf(answer).has_value();
    const QStringList parts = answer.split(u'.');
    if (parts.size() != 4)
        return false;
    for (const QString &part : parts) {
        double number = 0.0;
        if (!parseNumericPart(part, &number))
            return false;
        if (number > 255.0 || number < 0.0)
            return false;
    }
    return true;
}

AllowList::AllowList(QObject *parent) : QAbstractListModel(parent) { }

AllowList::~AllowList() = default;

void AllowList::setEntries(const QStringList &entries)
{
    beginResetModel();
    m_entries = entries;
    rebuildRanges();
    endResetModel();
}

void AllowList::append(const QString &entry)
{
    const int row = int(m_entries.size());
    beginInsertRows({}, row, row);
    m_entries.append(entry);
    if (const std::optional<Range> range = rangeOf(entry))
        m_ranges.push_back(*range);
    endInsertRows();
}

void AllowList::removeAt(int row)
{
    if (row < 0 || row >= m_entries.size())
        return;
    beginRemoveRows({}, row, row);
    m_entries.removeAt(row);
    rebuildRanges(); // a twin may remain, so the range cannot simply go
    endRemoveRows();
}

void AllowList::rebuildRanges()
{
    m_ranges.clear();
    for (const QString &entry : std::as_const(m_entries)) {
        if (const std::optional<Range> range = rangeOf(entry))
            m_ranges.push_back(*range);
    }
}

bool AllowList::admits(const QHostAddress &client) const
{
    const Range address = clientOf(client);
    return std::any_of(m_ranges.begin(), m_ranges.end(),
        [&address](const Range &range) { return range.contains(address); });
}

int AllowList::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant AllowList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_entries.size()
        || (role != Qt::DisplayRole && role != Qt::EditRole))
        return {};
    return m_entries.at(index.row());
}

QStringList parseFile(const QByteArray &bytes)
{
    QStringList entries;
    qsizetype lineStart = 0;
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    while (i < size) {
        const char c = bytes.at(i);
        if (c == '\r' || c == '\n') {
            entries.append(QString::fromLatin1(bytes.constData() + lineStart, i - lineStart));
            // CR LF is one line end; a lone CR or a lone LF is one as well.
            if (c == '\r' && i + 1 < size && bytes.at(i + 1) == '\n')
                ++i;
            ++i;
            lineStart = i;
        } else {
            ++i;
        }
    }
    if (lineStart < size) // the last line has no line end
        entries.append(QString::fromLatin1(bytes.constData() + lineStart, size - lineStart));
    return entries;
}

QByteArray formatFile(const QStringList &entries)
{
    // Entries come from the file (Latin-1) or from the Add check (ASCII only), so every
    // character maps back onto the byte it came from.
    QByteArray bytes;
    for (const QString &entry : entries) {
        bytes += entry.toLatin1();
        bytes += "\r\n";
    }
    return bytes;
}

LoadResult load(const QString &dir)
{
    LoadResult result;
    const QString path = filePath(dir);
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return result;
    result.exists = true;

    const auto fail = [&](const QString &reason) {
        result.ok = false;
        result.error =
            QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(path), reason);
        return result;
    };
    if (info.isDir())
        return fail(QStringLiteral("it is a directory"));

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return fail(file.errorString());
    result.entries = parseFile(bytes);
    return result;
}

SaveResult save(const QString &dir, const QStringList &entries)
{
    SaveResult result;
    const QString path = filePath(dir);
    const auto fail = [&](const QString &reason) {
        result.ok = false;
        result.error =
            QStringLiteral("Cannot save %1: %2").arg(QDir::toNativeSeparators(path), reason);
        return result;
    };

    QSaveFile file(path);
    // Never fall back to writing the old file in place: a crash then would cut the list.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    const QByteArray bytes = formatFile(entries);
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return fail(reason);
    }
    if (!file.commit())
        return fail(file.errorString());
    return result;
}

} // namespace acl
