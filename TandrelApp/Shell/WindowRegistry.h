// The application's top-level windows by id ("router", "settings", "capture-lab", ...): each is made the
// first time it is opened and shown again, as it was left, every later time. The application declares
// its windows here; menus and the tray open them by id. GUI thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>

#include <QString>
#include <QWidget>

class WindowRegistry {
public:
    using Factory = std::function<std::unique_ptr<QWidget>()>;

    WindowRegistry() = default;
    ~WindowRegistry();
    WindowRegistry(const WindowRegistry&) = delete;
    WindowRegistry& operator=(const WindowRegistry&) = delete;

    // Declares the window `id`; its factory runs when it is first opened. Its windows can become main.
    void add(const QString& id, Factory factory);
    bool contains(const QString& id) const;

    // Makes the window when it does not exist yet, then shows it, raises it and gives it the focus.
    // Null for an id that was never added.
    QWidget* open(const QString& id);
    // The window when it has been made, shown or not.
    QWidget* window(const QString& id) const;

    // Windows that can become the application's main window: the ones that keep it in the taskbar.
    static void markMainCapable(QWidget& window);
    static bool isMainCapable(const QWidget& window);

private:
    std::map<QString, Factory> factories_;
    std::map<QString, std::unique_ptr<QWidget>> windows_;
};
