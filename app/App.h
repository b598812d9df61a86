#ifndef APP_H
#define APP_H

#include <QObject>

// Creates, wires, restarts and stops the long-lived components of the service.
class App : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(App)

public:
    explicit App(QObject *parent = nullptr);
    ~App() override;

    void start();
    void stop();

private:
    void startAll();
    void stopAll();
};

#endif // APP_H
