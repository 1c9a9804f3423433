// The menu-bar panel: a compact live view of the routing that drops down from the tray icon (and fills
// the "Menu Bar Preview" window). The product name and a summary, a warning while the audio server does
// not answer, the compact update notice; then a row per source, line and monitor with meters and volume,
// unfoldable into channel volumes; and a footer that opens the mixer and switches launch at login. It
// keeps no routing state: it reads the controller's published state and edits through its setters.
// GUI thread only.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>

#include <QWidget>

#include "TandrelApp/Support/KeyedChildren.h"
#include "TandrelApp/Support/Theme.h"

class DeviceRow;
class MeterStore;
class QCheckBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;
class RoutingController;
class SourceRow;

class MenuBarContent : public QWidget {
    Q_OBJECT

public:
    // What the panel reaches outside the controller; the application passes the real ones.
    struct Environment {
        // Opens (or brings back) the mixer window.
        std::function<void()> openMixer;
        // The login item: registering or unregistering it, and reading whether it is registered.
        std::function<void(bool)> setLaunchAtLogin;
        std::function<bool()> launchAtLogin;
        // The compact update notice, or null while there is none.
        std::unique_ptr<QWidget> updateNotice;
    };

    // `launchAtLogin` is the login item's state as the creator read it.
    MenuBarContent(std::shared_ptr<RoutingController> controller, MeterStore& meters, bool launchAtLogin,
                   Environment environment, Theme::Metrics metrics = Theme::Metrics(1.0));
    ~MenuBarContent() override;

    // The rows whose channel volumes are unfolded, by row key.
    const std::set<std::string>& expanded() const { return expanded_; }
    void toggleExpanded(const std::string& key);

    // The parts, for tests.
    QLabel& summaryLabel() const { return *summary_; }
    QWidget& unresponsiveWarning() const { return *warning_; }
    QScrollArea& scrollArea() const { return *scroll_; }
    QWidget& sourcesSection() const { return *sourcesSection_; }
    QWidget& linesSection() const { return *linesSection_; }
    QWidget& monitorsSection() const { return *monitorsSection_; }
    QPushButton& openMixerButton() const { return *openMixer_; }
    QCheckBox& launchAtLoginBox() const { return *launchAtLogin_; }
    // A row by its key (source id in upper case, or device UID); null when none is shown.
    SourceRow* sourceRow(const std::string& key) const;
    DeviceRow* lineRow(const std::string& key) const;
    DeviceRow* monitorRow(const std::string& key) const;
    // The rows' keys in the order shown.
    const std::vector<std::string>& monitorKeys() const { return monitorKeys_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildScrollArea();
    QWidget* buildFooter(bool launchAtLogin);
    QWidget* section(std::string_view title, QVBoxLayout*& rows);
    void connectController();
    // Shows the controller's state now; rows are kept by key, so an edit in progress survives.
    void refresh();
    void refreshSources();
    void refreshDevices();
    // The scrolling area as high as its content, 44 ... 560 points; the window follows.
    void fitScrollArea();
    void openMixer();
    void launchAtLoginClicked(bool on);

    std::shared_ptr<RoutingController> controller_;
    MeterStore& meters_;
    Environment environment_;
    Theme::Metrics metrics_;
    std::set<std::string> expanded_;

    QLabel* summary_ = nullptr;
    QWidget* warning_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QWidget* content_ = nullptr;
    QWidget* sourcesSection_ = nullptr;
    QWidget* linesSection_ = nullptr;
    QWidget* monitorsSection_ = nullptr;
    std::unique_ptr<KeyedChildren<std::string, SourceRow>> sources_;
    std::unique_ptr<KeyedChildren<std::string, DeviceRow>> lines_;
    std::unique_ptr<KeyedChildren<std::string, DeviceRow>> monitors_;
    std::vector<std::string> monitorKeys_;
    QPushButton* openMixer_ = nullptr;
    QCheckBox* launchAtLogin_ = nullptr;
    bool fitting_ = false;
};
