#include "Lumavane/App/PlayerCommands.hpp"

#include "Lumavane/Localization/AppLocalization.hpp"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>

namespace lumavane {
namespace {

QAction* command(QMainWindow& window, QMenu* menu, const char* name, const QKeySequence& shortcut,
                 std::function<void()> action) {
    auto* item = new QAction(&window);
    item->setObjectName(name);
    item->setShortcut(shortcut);
    item->setShortcutContext(Qt::ApplicationShortcut);
    item->setMenuRole(QAction::NoRole);
    QObject::connect(item, &QAction::triggered, &window, [action = std::move(action)] {
        if (action) action();
    });
    menu->addAction(item);
    return item;
}

} // namespace

PlayerCommands::PlayerCommands(QMainWindow& window, Actions actions) : QObject(&window), window_(window) {
    fileMenu_ = window.menuBar()->addMenu(QString());
    openVideo_ = command(window, fileMenu_, "openVideo", QKeySequence("Ctrl+O"), std::move(actions.openVideo));
    fileMenu_->addSeparator();
    settings_ = command(window, fileMenu_, "openSettings", QKeySequence("Ctrl+,"), std::move(actions.openSettings));
    fileMenu_->addSeparator();
    quit_ = command(window, fileMenu_, "quit", QKeySequence("Ctrl+Q"), std::move(actions.quit));
    // A shortcut only works through a visible widget it belongs to that no modal dialog blocks.
    window.addActions({openVideo_, settings_, quit_});
    qApp->installEventFilter(this);
    relabel();
}

bool PlayerCommands::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Show) return false;
    auto* dialog = qobject_cast<QDialog*>(watched);
    if (!dialog || !dialog->parentWidget() || dialog->parentWidget()->window() != &window_) return false;
    if (qobject_cast<QMessageBox*>(dialog)) dialog->addActions({openVideo_, settings_, quit_});
    else dialog->addAction(quit_);
    return false;
}

void PlayerCommands::relabel() {
    const auto text = [](const std::string& value) { return QString::fromStdString(value); };
    fileMenu_->setTitle(text(AppLocalization::string("ファイル")));
    openVideo_->setText(text(AppLocalization::string("動画を開く…")));
    settings_->setText(text(AppLocalization::string("設定…")));
    quit_->setText(text(AppLocalization::string("Lumavaneを終了")));
}

} // namespace lumavane
