// Alerts answered from a script, for tests of flows that ask the user: every alert shown is recorded,
// and each is answered with the next scripted response (the first button, unchecked, when the script is
// used up). While it lives it is the shared Alerts.
#pragma once

#include <deque>
#include <vector>

#include "Platform/System/Desktop/Alerts.h"

class ScriptedAlerts : public Alerts {
public:
    ScriptedAlerts() { Alerts::setShared(this); }
    ~ScriptedAlerts() override { Alerts::setShared(nullptr); }
    ScriptedAlerts(const ScriptedAlerts&) = delete;
    ScriptedAlerts& operator=(const ScriptedAlerts&) = delete;

    // Answers a later alert with button `button` (an index into its buttons) and the checkbox state.
    void answer(std::size_t button, bool checked = false) { answers_.push_back({button, checked}); }

    AlertResponse run(const AlertSpec& alert) override {
        shown.push_back(alert);
        if (answers_.empty()) {
            return {};
        }
        const AlertResponse response = answers_.front();
        answers_.pop_front();
        return response;
    }

    std::vector<AlertSpec> shown;

private:
    std::deque<AlertResponse> answers_;
};
