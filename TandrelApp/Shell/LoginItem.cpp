#include "TandrelApp/Shell/LoginItem.h"

#include <string>

#include <QCoreApplication>

#include "Platform/System/Desktop/BundleInfo.h"
#include "Platform/System/LoginItemService.h"
#include "TandrelApp/Support/Log.h"

namespace LoginItem {
namespace {

std::string identifier() {
    return BundleInfo::bundleIdentifier().value_or("qorvix.tandrel.app");
}

std::string executable() {
    return QCoreApplication::applicationFilePath().toStdString();
}

} // namespace

void setEnabled(bool enabled) {
    try {
        if (enabled) {
            LoginItemService::registerItem(identifier(), "Corvane", executable());
        } else {
            LoginItemService::unregisterItem(identifier());
        }
    } catch (const LoginItemService::Error& error) {
        Log::console(std::string("login item update failed: ") + error.what());
    }
}

bool isEnabled() {
    return LoginItemService::status(identifier(), executable()) == LoginItemService::Status::enabled;
}

bool launchedAsLoginItem(const QStringList& arguments) {
    return arguments.contains(QString::fromLatin1(LoginItemService::launchArgument));
}

} // namespace LoginItem
