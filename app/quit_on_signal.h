#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP into an orderly QCoreApplication::quit(),
// so that Ctrl-C in the terminal (or a service manager stopping us) shuts the
// dashboard down like closing its window: the camera thread is stopped and
// joined and the broker connection is closed, instead of the process dying
// with the inference thread still running. One instance per process.
class QuitOnSignal : public QObject
{
    Q_OBJECT

public:
    explicit QuitOnSignal(QObject* parent = nullptr);
    ~QuitOnSignal() override;

private:
    void onSignalByte();

    QSocketNotifier* m_notifier = nullptr;
};
