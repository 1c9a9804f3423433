// The application's top-level windows by id ("router", "settings", "capture-lab", ...): each is made the
// first time it is opened and shown again, as it was left, every later time. Where a window was and how
// large it was is remembered across starts in the user defaults ("TDWindowFrame <id>"), as the desktop
// the program came from does for every window; a window with nothing remembered gets its first frame
// from its declaration. The application declares its windows here; menus and the tray open them by id.
// GUI thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>

#include <QString>
#include <QWidget>

class UserDefaults;

class WindowRegistry {
public:
    using Factory = std::function<std::unique_ptr<QWidget>()>;

    // What of a window's frame is remembered: its size and place, or only its place (a window whose
    // size follows its content).
    enum class Remembered { sizeAndPlace, place };

    struct Declaration {
        Factory factory;
        Remembered remembered = Remembered::sizeAndPlace;
        // Sizes and places a window that has no remembered frame, before it is first shown; none leaves
        // that to the window and the desktop.
        std::function<void(QWidget&)> firstFrame = {};
    };

    explicit WindowRegistry(UserDefaults& defaults);
    // Remembers the frames of the windows made.
    ~WindowRegistry();
    WindowRegistry(const WindowRegistry&) = delete;
    WindowRegistry& operator=(const WindowRegistry&) = delete;

    // Declares the window `id`; its factory runs when it is first opened. Its windows can become main.
    void add(const QString& id, Declaration declaration);
    void add(const QString& id, Factory factory) { add(id, Declaration{std::move(factory)}); }
    bool contains(const QString& id) const;

    // Makes the window when it does not exist yet (in its remembered frame, else its first one), then
    // shows it, raises it and gives it the focus. Null for an id that was never added.
    QWidget* open(const QString& id);
    // The window when it has been made, shown or not.
    QWidget* window(const QString& id) const;

    // The user default that holds a window's frame.
    static QString frameKey(const QString& id);

    // Windows that can become the application's main window: the ones that keep it in the taskbar.
    static void markMainCapable(QWidget& window);
    static bool isMainCapable(const QWidget& window);

private:
    class FrameKeeper;

    UserDefaults& defaults_;
    std::map<QString, Declaration> declarations_;
    std::map<QString, std::unique_ptr<QWidget>> windows_;
    // Owned by their windows.
    std::map<QString, FrameKeeper*> keepers_;
};
