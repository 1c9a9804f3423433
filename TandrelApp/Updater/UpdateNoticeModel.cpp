#include "TandrelApp/Updater/UpdateNoticeModel.h"

namespace UpdateNoticeModel {

std::string progressText(const UpdateInstaller::Phase& phase) {
    using Kind = UpdateInstaller::Phase::Kind;
    switch (phase.kind) {
    case Kind::downloading:
        return "アップデートをダウンロードしています…";
    case Kind::verifying:
        return "インストーラの署名を確認しています…";
    case Kind::waitingForPassword:
        return "管理者のパスワードを入力してください";
    case Kind::installing:
        return "インストールしています。終わると自動で起動し直します…";
    case Kind::idle:
    case Kind::failed:
        return {};
    }
    return {};
}

Content content(const UpdateInstaller::Phase& phase, const std::optional<UpdateRelease>& available,
                const std::string& currentVersion, bool compact) {
    using Kind = UpdateInstaller::Phase::Kind;
    if (phase.isBusy()) {
        const bool downloading = phase.kind == Kind::downloading;
        return Progress{
            .text = progressText(phase),
            .fraction = downloading ? std::optional(phase.fraction) : std::nullopt,
            .cancellable = downloading && !compact,
        };
    }
    if (!available) {
        return std::monostate{};
    }
    if (compact) {
        return CompactButton{
            .title = "バージョン " + available->version + " にアップデート",
            .toolTip = "新しいバージョンをダウンロードしてインストールします（今は " + currentVersion + "）",
        };
    }
    const bool hasNotes = available->notes && !available->notes->empty();
    return Banner{
        .title = "Corvane " + available->version + " が公開されています",
        .subtitle =
            hasNotes ? available->notes->front() : "今お使いのバージョンは " + currentVersion + " です",
    };
}

} // namespace UpdateNoticeModel
