#include "app/UiSettings.h"

#include "app/Constants.h"

#include <QSettings>

#include <memory>

namespace {

struct Entry {
    bool layoutFile;
    const char *key;
};

Entry entryOf(UiSetting setting)
{
    switch (setting) {
    case UiSetting::WindowSaved:
        return {true, "mainWindow/saved"};
    case UiSetting::WindowGeometry:
        return {true, "mainWindow/geometry"};
    case UiSetting::WindowState:
        return {true, "mainWindow/state"};
    case UiSetting::ScaleFactor:
        break;
    }
    return {false, "scaleFactor"};
}

std::unique_ptr<QSettings> openFile(bool layoutFile)
{
    if (layoutFile)
        return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, Ink::applicationName(),
                                           Ink::applicationName());
    return std::make_unique<QSettings>(Ink::organizationName(), Ink::applicationName());
}

} // namespace

QVariant readUiSetting(UiSetting setting, const QVariant &fallback)
{
    const Entry e = entryOf(setting);
    return openFile(e.layoutFile)->value(QLatin1String(e.key), fallback);
}

void writeUiSettings(const QList<QPair<UiSetting, QVariant>> &values)
{
    // Each file is opened only when it gets a value, so the other one is never created.
    for (const bool inLayoutFile : {true, false}) {
        std::unique_ptr<QSettings> settings;
        for (const auto &value : values) {
            const Entry e = entryOf(value.first);
            if (e.layoutFile != inLayoutFile)
                continue;
            if (!settings)
                settings = openFile(inLayoutFile);
            settings->setValue(QLatin1String(e.key), value.second);
        }
        if (settings)
            settings->sync();
    }
}

QString readLastFolder(const QString &purpose)
{
    return openFile(true)->value(QStringLiteral("lastFolder/") + purpose).toString();
}

void writeLastFolder(const QString &purpose, const QString &folder)
{
    auto settings = openFile(true);
    settings->setValue(QStringLiteral("lastFolder/") + purpose, folder);
    settings->sync();
}
