// The application's user defaults (TDUIScale, TDSettingsTab, the updater's keys): one QSettings store
// per defaults domain, the application's own named after its bundle identifier. Windows, panes and the
// updater keep their settings there; the reset of settings removes the whole domain. GUI thread only.
#pragma once

#include <memory>
#include <string>

#include <QSettings>

namespace UserDefaults {

// The persistent store of the domain `name`.
std::unique_ptr<QSettings> persistentDomain(const std::string& name);

// Forgets every key of the domain `name`, on disk too.
void removePersistentDomain(const std::string& name);

} // namespace UserDefaults
