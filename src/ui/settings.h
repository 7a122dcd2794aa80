#pragma once

#include <QString>
#include <memory>

QT_BEGIN_NAMESPACE
class QSettings;
QT_END_NAMESPACE

namespace ui {

/// The file of the program's settings, beside "IPs.txt".
inline constexpr char16_t SettingsFileName[] = u"settings.ini";

/// The program's settings, kept in "settings.ini" (INI format) in the folder given. Each change is
/// written at once.
class Settings final
{
public:
    explicit Settings(const QString &dir);
    ~Settings();
    Settings(const Settings &) = delete;
    Settings &operator=(const Settings &) = delete;

    /// "Let clients reach this computer's own services": off unless the operator turned it on.
    bool reachLocalServices() const;
    /// On failure, the reason.
    QString setReachLocalServices(bool on);

private:
    std::unique_ptr<QSettings> m_file;
};

} // namespace ui
