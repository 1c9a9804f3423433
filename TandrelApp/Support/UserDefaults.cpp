#include "TandrelApp/Support/UserDefaults.h"

namespace UserDefaults {

std::unique_ptr<QSettings> persistentDomain(const std::string& name) {
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QString::fromStdString(name));
}

void removePersistentDomain(const std::string& name) {
    auto domain = persistentDomain(name);
    domain->clear();
    domain->sync();
}

} // namespace UserDefaults
