// The update installer's failures, each with the description the user reads, and the failure of a tool
// that could not be started. Thrown by the installer's steps, caught by its pipeline.
#pragma once

#include <string>

#include "TandrelApp/Support/AppError.h"

class InstallError : public AppError {
public:
    enum class Kind { download, untrusted, installer, noPackage };

    static InstallError download(const std::string& detail) {
        return {Kind::download, detail, "ダウンロードできませんでした（" + detail + "）"};
    }
    static InstallError untrusted(const std::string& detail) {
        return {Kind::untrusted, detail,
                "ダウンロードしたインストーラの署名を確認できないため、インストールを中止しました（" +
                    detail + "）"};
    }
    static InstallError installer(const std::string& detail) {
        return {Kind::installer, detail, "インストールに失敗しました（" + detail + "）"};
    }
    static InstallError noPackage() {
        return {Kind::noPackage, {}, "ダウンロードしたファイルにインストーラが見つかりません"};
    }

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }
    // A dismissed administrator prompt, which ends a run silently.
    bool isCancelledPrompt() const { return kind_ == Kind::installer && detail_ == "cancelled"; }

private:
    InstallError(Kind kind, std::string detail, const std::string& description)
        : AppError(description)
        , kind_(kind)
        , detail_(std::move(detail)) {}

    Kind kind_;
    std::string detail_;
};

// A tool or a file step that failed on its own terms (the tool could not be started, a folder could not
// be made); its description is the system's reason.
class UpdateToolError : public AppError {
public:
    using AppError::AppError;
};
