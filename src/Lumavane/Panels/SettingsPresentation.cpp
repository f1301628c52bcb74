#include "Lumavane/Panels/PlayerSettingsPanel.hpp"
#include "Lumavane/Session/PlayerSession.hpp"

#include <QPointer>

namespace lumavane {

std::string PlayerSettingsPanel::sessionDiagnostics(const PlayerSession& session) {
    return session.diagnosticInformation();
}

PlayerSettingsPanel* PlayerSettingsPanel::present(PlayerSession& session, QWidget* window) {
    static QPointer<PlayerSettingsPanel> open;
    if (!open) {
        Dependencies dependencies;
        dependencies.diagnostics = [&session] { return sessionDiagnostics(session); };
        open = new PlayerSettingsPanel(std::move(dependencies), window);
        open->setAttribute(Qt::WA_DeleteOnClose);
        open->setWindowModality(Qt::WindowModal);
    }
    open->show();
    open->raise();
    open->activateWindow();
    return open;
}

} // namespace lumavane
