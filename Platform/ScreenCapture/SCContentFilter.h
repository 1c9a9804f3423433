// What a capture stream captures: one display, and either only the listed applications' audio or every
// application's audio but theirs. Built by the screen-capture audio source from the shareable content.
#pragma once

#include <vector>

#include "Platform/ScreenCapture/SCShareableContent.h"

class SCContentFilter {
public:
    enum class Mode { including, excluding };

    static SCContentFilter including(SCDisplay display, std::vector<SCRunningApplication> applications) {
        return SCContentFilter(display, Mode::including, std::move(applications));
    }
    static SCContentFilter excluding(SCDisplay display, std::vector<SCRunningApplication> applications) {
        return SCContentFilter(display, Mode::excluding, std::move(applications));
    }

    const SCDisplay& display() const { return display_; }
    Mode mode() const { return mode_; }
    const std::vector<SCRunningApplication>& applications() const { return applications_; }

    // Whether a process's audio passes the filter: an application of the filter matches by process id.
    bool lets(int processID) const {
        bool listed = false;
        for (const auto& app : applications_) {
            listed = listed || app.processID == processID;
        }
        return mode_ == Mode::including ? listed : !listed;
    }

private:
    SCContentFilter(SCDisplay display, Mode mode, std::vector<SCRunningApplication> applications)
        : display_(display)
        , mode_(mode)
        , applications_(std::move(applications)) {}

    SCDisplay display_;
    Mode mode_;
    std::vector<SCRunningApplication> applications_;
};
