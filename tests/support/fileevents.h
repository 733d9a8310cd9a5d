#pragma once
// What the kernel saw happen to a file or in a folder while the object lives (inotify): how
// often a file was opened, or a name put in place. Events are read once, by count().

#include <QByteArray>
#include <QFile>
#include <QString>

#include <sys/inotify.h>
#include <unistd.h>

class FileEvents
{
public:
    // Watches path (a file, or a folder for the names in it) for the events in mask. Watch the
    // closes too when counting opens: the kernel merges an event repeated back to back.
    FileEvents(const QString& path, quint32 mask) : m_watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        m_watching = m_watch >= 0 && inotify_add_watch(m_watch, QFile::encodeName(path).constData(), mask) >= 0;
    }
    ~FileEvents()
    {
        if (m_watch >= 0) {
            ::close(m_watch);
        }
    }
    FileEvents(const FileEvents&) = delete;
    FileEvents& operator=(const FileEvents&) = delete;
    bool isWatching() const { return m_watching; }

    // The events so far of any kind in mask; in a watched folder, only those of the entry name
    // when one is given.
    int count(quint32 mask, const QString& name = QString())
    {
        int found = 0;
        QByteArray events(64 * 1024, Qt::Uninitialized);
        for (ssize_t got; (got = ::read(m_watch, events.data(), events.size())) > 0;) {
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events.constData() + at);
                const bool named = name.isEmpty() || (event->len > 0 && QFile::decodeName(event->name) == name);
                found += (event->mask & mask) && named ? 1 : 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return found;
    }

private:
    int m_watch;
    bool m_watching = false;
};
