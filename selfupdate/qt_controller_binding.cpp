#include "selfupdate/qt_controller_binding.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <memory>
#include <mutex>

namespace selfupdate {

namespace {

// A weak reference to the context that the worker thread can test and use
// without racing the GUI thread's delete: the pointer is cleared from
// QObject::destroyed under the same mutex the dispatcher holds while it
// posts, so a task is either posted before destruction (and then discarded
// with the object's pending events) or not at all.
struct ContextGuard {
    std::mutex mutex;
    QObject* object = nullptr;
};

} // namespace

void bindQtController(SelfUpdateController& controller, QObject* context,
                      SelfUpdateController::StateCallback stateCallback,
                      SelfUpdateController::QuitCallback quitCallback)
{
    auto guard = std::make_shared<ContextGuard>();
    guard->object = context != nullptr ? context : QCoreApplication::instance();
    if (guard->object != nullptr) {
        QObject::connect(guard->object, &QObject::destroyed, [guard] {
            std::lock_guard<std::mutex> lock(guard->mutex);
            guard->object = nullptr;
        });
    }

    controller.setUiDispatcher([guard](std::function<void()> task) {
        std::lock_guard<std::mutex> lock(guard->mutex);
        if (guard->object == nullptr)
            return; // the context is gone: the task is dropped unrun
        QMetaObject::invokeMethod(guard->object, std::move(task), Qt::QueuedConnection);
    });
    controller.setStateCallback(std::move(stateCallback));
    if (!quitCallback) {
        quitCallback = [] {
            if (QCoreApplication::instance() != nullptr)
                QCoreApplication::quit();
        };
    }
    controller.setQuitCallback(std::move(quitCallback));
}

} // namespace selfupdate
