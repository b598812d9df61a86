#ifndef PASSWORDVERIFIER_H
#define PASSWORDVERIFIER_H

#include <QByteArray>
#include <QObject>
#include <QThreadPool>

// Checks passwords against their hash records on worker threads of its own,
// so the event loop never waits for a key derivation. Results come back to
// the verifier's thread as the verified signal.
class PasswordVerifier : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PasswordVerifier)

public:
    // Checks waiting or running at once; more are refused, not queued.
    static constexpr int MaxPending = 32;

    explicit PasswordVerifier(QObject *parent = nullptr);
    // Waits for the checks under way; drops those not yet started.
    ~PasswordVerifier() override;

    // An empty record (an unknown user) costs the same and fails. False,
    // with no signal to come, when MaxPending checks are under way.
    bool verify(quint64 ticket, const QByteArray &record, const QByteArray &password);
    int pending() const { return m_pending; }

signals:
    void verified(quint64 ticket, bool ok);

private:
    QThreadPool m_pool;
    int m_pending = 0;
};

#endif // PASSWORDVERIFIER_H
