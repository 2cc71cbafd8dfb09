#pragma once

#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace garvina {

/// \brief Writes a file out to disk while another process is still writing it.
///
/// A thread of its own follows the file at \a path (it may appear only later) and has the kernel
/// write every completed step of \a step bytes, one step at a time and at no more than
/// \a bytesPerSecond (0: as fast as the disk takes them). A gigabyte written at once and flushed
/// with one fsync at the end is one long burst that every commit of the running engine waits behind;
/// written out as it grows, the engine's commits slip in between and the final fsync has little
/// left to do. This makes nothing durable by itself: fsync still has the last word.
class GrowingFileFlusher
{
public:
    GrowingFileFlusher(const QString &path, qint64 step = 1 << 20, qint64 bytesPerSecond = 0);
    /// Stops following the file (see stop()).
    ~GrowingFileFlusher();
    GrowingFileFlusher(const GrowingFileFlusher &) = delete;
    GrowingFileFlusher &operator=(const GrowingFileFlusher &) = delete;

    /// Writes out what the file holds now, up to its end, and ends the thread.
    void stop();
    /// Ends the thread without writing out the rest (the file is about to be removed).
    void abandon();
    /// Bytes from the file's start that have been written out so far.
    qint64 flushedBytes() const { return m_flushed.load(); }

private:
    void run();

    const QByteArray m_path;
    const qint64 m_step;
    const qint64 m_bytesPerSecond;
    std::atomic<qint64> m_flushed{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_abandoned = false;
    std::thread m_thread;
};

} // namespace garvina
