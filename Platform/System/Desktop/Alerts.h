// Modal alerts: a message, an explanation, buttons in order and an optional checkbox, answered with the
// button chosen. Every text is shown as plain text, exactly as given. The shell's reset, the capture lab and
// the updater ask through the one shared Alerts; the product shows a QMessageBox, tests put a scripted fake
// in its place. GUI thread only.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QMessageBox;

struct AlertSpec {
    enum class Style { informational, warning, critical };

    struct Button {
        std::string title;
        // Shown as a destructive action (the first button is always the default one).
        bool destructive = false;
        // Escape chooses it.
        bool cancels = false;
        bool operator==(const Button&) const = default;
    };

    struct Checkbox {
        std::string title;
        std::string toolTip;
        bool checked = false;
        bool operator==(const Checkbox&) const = default;
    };

    Style style = Style::informational;
    std::string message;
    std::string informativeText;
    // In order; the first is the default. None gives the platform's single "OK".
    std::vector<Button> buttons;
    std::optional<Checkbox> checkbox;

    bool operator==(const AlertSpec&) const = default;
};

struct AlertResponse {
    // Index into the alert's buttons (0 for the platform's own "OK").
    std::size_t button = 0;
    // The checkbox's state when the alert closed.
    bool checked = false;
};

class Alerts {
public:
    virtual ~Alerts() = default;

    // Shows the alert modally in front of the application and returns once it is answered.
    virtual AlertResponse run(const AlertSpec& alert) = 0;

    // The alerts every component uses: the message boxes, or what setShared() put there.
    static Alerts& shared();
    // Replaces the shared alerts (null restores the message boxes); the caller keeps ownership.
    static void setShared(Alerts* alerts);
};

// The product's alerts: a QMessageBox per alert, with the application's icon for informational ones.
class MessageBoxAlerts : public Alerts {
public:
    AlertResponse run(const AlertSpec& alert) override;

    // The box run() shows, not yet shown.
    static std::unique_ptr<QMessageBox> messageBox(const AlertSpec& alert);
};
