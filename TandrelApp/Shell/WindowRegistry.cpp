#include "TandrelApp/Shell/WindowRegistry.h"

#include <chrono>

#include <QEvent>
#include <QTimer>
#include <QVariant>

#include "TandrelApp/Support/UserDefaults.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* mainCapableProperty = "tandrelMainCapable";
// A window moved or resized is remembered once it has been still for this long.
constexpr auto kSettle = 500ms;

} // namespace

// Writes a window's frame to the defaults when it has settled after a move or resize, when it is hidden
// and when it goes.
class WindowRegistry::FrameKeeper : public QObject {
public:
    FrameKeeper(QWidget& window, UserDefaults& defaults, QString key)
        : QObject(&window)
        , window_(window)
        , defaults_(defaults)
        , key_(std::move(key)) {
        settle_.setSingleShot(true);
        settle_.setInterval(kSettle);
        connect(&settle_, &QTimer::timeout, this, &FrameKeeper::save);
        window.installEventFilter(this);
    }

    void save() {
        settle_.stop();
        if (shown_) {
            defaults_.set(key_, window_.saveGeometry());
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &window_) {
            switch (event->type()) {
            case QEvent::Show:
                shown_ = true;
                break;
            case QEvent::Move:
            case QEvent::Resize:
                if (window_.isVisible()) {
                    settle_.start();
                }
                break;
            case QEvent::Hide:
                save();
                break;
            default:
                break;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget& window_;
    UserDefaults& defaults_;
    const QString key_;
    QTimer settle_;
    // A frame is remembered only once the window has been on screen.
    bool shown_ = false;
};

WindowRegistry::WindowRegistry(UserDefaults& defaults)
    : defaults_(defaults) {}

WindowRegistry::~WindowRegistry() {
    for (auto& [id, keeper] : keepers_) {
        keeper->save();
    }
}

void WindowRegistry::add(const QString& id, Declaration declaration) {
    declarations_[id] = std::move(declaration);
}

bool WindowRegistry::contains(const QString& id) const {
    return declarations_.contains(id);
}

QString WindowRegistry::frameKey(const QString& id) {
    return QStringLiteral("TDWindowFrame ") + id;
}

QWidget* WindowRegistry::open(const QString& id) {
    auto& window = windows_[id];
    if (!window) {
        const auto declared = declarations_.find(id);
        if (declared == declarations_.end()) {
            windows_.erase(id);
            return nullptr;
        }
        const Declaration& declaration = declared->second;
        window = declaration.factory();
        window->setObjectName(id);
        markMainCapable(*window);
        const QByteArray frame = defaults_.value(frameKey(id)).toByteArray();
        if (!frame.isEmpty() && window->restoreGeometry(frame)) {
            if (declaration.remembered == Remembered::place) {
                window->adjustSize();
            }
        } else if (declaration.firstFrame) {
            declaration.firstFrame(*window);
        }
        keepers_[id] = new FrameKeeper(*window, defaults_, frameKey(id));
    }
    if (window->isMinimized()) {
        window->showNormal();
    } else {
        window->show();
    }
    window->raise();
    window->activateWindow();
    return window.get();
}

QWidget* WindowRegistry::window(const QString& id) const {
    const auto found = windows_.find(id);
    return found != windows_.end() ? found->second.get() : nullptr;
}

void WindowRegistry::markMainCapable(QWidget& window) {
    window.setProperty(mainCapableProperty, true);
}

bool WindowRegistry::isMainCapable(const QWidget& window) {
    return window.property(mainCapableProperty).toBool();
}
