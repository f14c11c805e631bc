// The self-update binding of the window: the stale-backup removal at start,
// the controller binding and start-up check, the status-bar update badge and
// the "Check for Updates..." dialog. Placeholders until the binding is
// wired: the badge stays hidden and nothing is checked. The update
// configuration (defaultSelfUpdateConfig) is defined with it.
#include "app/main_window.h"

#include "selfupdate/self_update_controller.h"

#include <QPushButton>

void MainWindow::removeStaleUpdateBackup()
{
}

void MainWindow::startSelfUpdate()
{
}

void MainWindow::bindSelfUpdateController()
{
}

void MainWindow::setSelfUpdateController(std::shared_ptr<selfupdate::SelfUpdateController> controller)
{
    m_selfUpdateController = std::move(controller);
}

selfupdate::SelfUpdateController* MainWindow::selfUpdateController() const
{
    return m_selfUpdateController.get();
}

std::shared_ptr<selfupdate::SelfUpdateController> MainWindow::selfUpdateControllerShared() const
{
    return m_selfUpdateController;
}

selfupdate::UpdateState MainWindow::currentSelfUpdateState() const
{
    return m_updateState;
}

void MainWindow::checkForAppUpdates(bool /*userInitiated*/)
{
}

QString MainWindow::updateStatusBadgeText() const
{
    return m_updateBadge ? m_updateBadge->text() : QString();
}

bool MainWindow::isUpdateStatusBadgeVisible() const
{
    return m_updateBadge && m_updateBadge->isVisible();
}

void MainWindow::onSelfUpdateStateChanged(const selfupdate::UpdateState& state)
{
    m_updateState = state;
}

void MainWindow::onCheckForUpdatesClicked()
{
}
