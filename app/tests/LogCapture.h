#pragma once

#include <QMutex>
#include <QRegularExpression>
#include <QStringList>

#include <QtGlobal>

#include <atomic>

namespace pixavella::testing {

// Collects the messages logged while it lives (and lets them through to the previous handler).
class LogCapture {
public:
    LogCapture()
    {
        s_active = this;
        s_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(s_previous);
        s_active = nullptr;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const
    {
        QMutexLocker locker(&m_mutex);
        return m_lines;
    }
    // The captured lines that start with "Pixavella: ".
    QStringList productLines() const
    {
        return lines().filter(QRegularExpression(QStringLiteral("^Pixavella: ")));
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (LogCapture* self = s_active) {
            QMutexLocker locker(&self->m_mutex);
            self->m_lines << message;
        }
        if (s_previous)
            s_previous(type, context, message);
    }

    static inline QtMessageHandler s_previous = nullptr;
    static inline std::atomic<LogCapture*> s_active = nullptr;
    mutable QMutex m_mutex;
    QStringList m_lines;
};

} // namespace pixavella::testing
