#pragma once

// One of libfuse's own passthrough filesystems (passthrough_hp, passthrough_ll, built by
// bench/passthrough.sh into the build folder's passthrough/bin) mounted over a local folder
// while it lives: the floor a FUSE drive is measured against, since no FUSE file system
// copies or reads like the local disk itself.

#include <QProcess>
#include <QString>
#include <QStringList>

namespace pixavella::bench {

class PassthroughMount {
public:
    // Why the passthrough filesystems cannot be had here; empty when they can.
    static QString unavailable();

    // `program` is "passthrough_hp" or "passthrough_ll", `options` its own switches.
    PassthroughMount(const QString& program, const QStringList& options, const QString& source,
                     const QString& mountPoint);
    ~PassthroughMount();
    PassthroughMount(const PassthroughMount&) = delete;
    PassthroughMount& operator=(const PassthroughMount&) = delete;

    // Empty once mounted, else why it is not.
    QString error() const { return m_error; }
    QString path(const QString& relative = {}) const;
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    QString m_mountPoint;
    QString m_error;
};

// The passthrough figures of a run print as nan when their filesystem is missing, with one line
// (printed once, whoever asks first) that says why; an empty `why` prints nothing.
void sayWhyNoPassthrough(const QString& why);

} // namespace pixavella::bench
