#pragma once

#include <QObject>

#include "selfupdate/self_update_controller.h"

namespace selfupdate {

// Wires the controller's three callbacks to a Qt object: every state and the
// quit request run on context's thread, and are dropped once context is gone
// (the binding never keeps it alive). A null context means the application
// object; an empty quit callback means QCoreApplication::quit().
void bindQtController(SelfUpdateController& controller, QObject* context,
                      SelfUpdateController::StateCallback stateCallback,
                      SelfUpdateController::QuitCallback quitCallback);

} // namespace selfupdate
