#include "settings.h"

#include <QDir>
#include <QSettings>

namespace ui {

namespace {
const QString ReachLocalServices = QStringLiteral("guard/reachLocalServices");
}

Settings::Settings(const QString &dir)
    : m_file(std::make_unique<QSettings>(
        QDir(dir).filePath(QString::fromUtf16(SettingsFileName)), QSettings::IniFormat))
{ }

Settings::~Settings() = default;

bool Settings::reachLocalServices() const
{
    return m_file->value(ReachLocalServices, false).toBool();
}

QString Settings::setReachLocalServices(bool on)
{
    m_file->setValue(ReachLocalServices, on);
    m_file->sync();
    if (m_file->status() == QSettings::NoError)
        return {};
    return QStringLiteral("Cannot save %1").arg(QDir::toNativeSeparators(m_file->fileName()));
}

} // namespace ui
