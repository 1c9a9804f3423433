// The user-visible failures of the application and whole-system capture sources; the controller shows
// their descriptions and tells a missing application apart by its kind.
#pragma once

#include <string>

#include "TandrelApp/Support/AppError.h"

class CaptureError : public AppError {
public:
    enum class Kind { applicationNotFound, noDisplay, permissionDenied };

    static CaptureError applicationNotFound(const std::string& bundleID) {
        return CaptureError(Kind::applicationNotFound,
                            "アプリが見つかりません: " + bundleID + "（起動していますか？）", bundleID);
    }
    static CaptureError noDisplay() {
        return CaptureError(Kind::noDisplay, "キャプチャ可能なディスプレイがありません");
    }
    static CaptureError permissionDenied() {
        return CaptureError(
            Kind::permissionDenied,
            "画面と音声の収録が許可されていません（システム設定 > プライバシーとセキュリティ）");
    }

    Kind kind() const { return kind_; }
    // The bundle identifier of applicationNotFound; empty otherwise.
    const std::string& bundleID() const { return bundleID_; }

private:
    CaptureError(Kind kind, const std::string& description, std::string bundleID = {})
        : AppError(description)
        , kind_(kind)
        , bundleID_(std::move(bundleID)) {}

    Kind kind_;
    std::string bundleID_;
};
