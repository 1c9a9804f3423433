#include "TandrelApp/Mixer/AppIcon.h"

#include <QCache>
#include <QColor>
#include <QPixmap>

#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Support/Glyphs.h"

namespace AppIcon {

namespace {

// Side of the generic icon, in pixels; views scale it down.
constexpr int kGenericSide = 64;

// The picture of an icon, decoded once per file or per data; null when it cannot be decoded.
QImage decoded(const ApplicationIcon& icon) {
    static QCache<QString, QImage> cache(64);
    const QByteArray data(reinterpret_cast<const char*>(icon.imageData.data()),
                          static_cast<qsizetype>(icon.imageData.size()));
    const QString key = data.isEmpty() ? QStringLiteral("file:") + QString::fromStdString(icon.path)
                                       : QStringLiteral("data:%1:%2").arg(qHash(data)).arg(data.size());
    if (const QImage* cached = cache.object(key)) {
        return *cached;
    }
    QImage image = data.isEmpty() ? QImage(QString::fromStdString(icon.path)) : QImage::fromData(data);
    if (!image.isNull()) {
        cache.insert(key, new QImage(image));
    }
    return image;
}

QImage genericApplicationIcon() {
    static const QImage generic =
        Glyphs::pixmap("app", QColor(0x8E, 0x8E, 0x93), QSizeF(kGenericSide, kGenericSide)).toImage();
    return generic;
}

} // namespace

std::optional<QImage> image(const std::string& bundleID) {
    const Workspace& workspace = Workspace::shared();
    const auto running = workspace.runningApplications(bundleID);
    if (!running.empty() && !running.front().icon.isEmpty()) {
        if (QImage icon = decoded(running.front().icon); !icon.isNull()) {
            return icon;
        }
    }
    const auto installed = workspace.urlForApplication(bundleID);
    if (!installed) {
        return std::nullopt;
    }
    const ApplicationIcon icon = workspace.iconForFile(*installed);
    if (!icon.isEmpty()) {
        if (QImage picture = decoded(icon); !picture.isNull()) {
            return picture;
        }
    }
    return genericApplicationIcon();
}

} // namespace AppIcon
