#include "growingfileflush.h"

#include <QFile>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <unistd.h>

namespace garvina {

namespace {

/// How often the file's size is looked at while it grows.
constexpr auto kPoll = std::chrono::milliseconds(20);

/// Writes [at, at + length) of \a fd out and waits until the disk has it.
void writeOut(int fd, off_t at, off_t length)
{
    ::sync_file_range(fd, at, length,
                      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
}

} // namespace

GrowingFileFlusher::GrowingFileFlusher(const QString &path, qint64 step, qint64 bytesPerSecond)
    : m_path(QFile::encodeName(path)), m_step(std::max<qint64>(step, 4096)),
      m_bytesPerSecond(std::max<qint64>(bytesPerSecond, 0))
{
    m_thread = std::thread([this] { run(); });
}

GrowingFileFlusher::~GrowingFileFlusher()
{
    stop();
}

void GrowingFileFlusher::stop()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void GrowingFileFlusher::abandon()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_abandoned = true;
    }
    stop();
}

void GrowingFileFlusher::run()
{
    using Clock = std::chrono::steady_clock;
    int fd = -1;
    off_t done = 0;
    Clock::time_point opened;
    bool last = false;
    while (!last) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait_for(lock, kPoll, [this] { return m_stop; });
            last = m_stop;
            if (m_abandoned)
                break;
        }
        if (fd < 0) {
            fd = ::open(m_path.constData(), O_RDONLY | O_CLOEXEC);
            opened = Clock::now();
        }
        if (fd < 0)
            continue;
        const off_t size = ::lseek(fd, 0, SEEK_END);
        // While the file grows only whole steps are written; at the end the rest too.
        while (size - done >= m_step || (last && size > done)) {
            const off_t length = std::min<off_t>(m_step, size - done);
            writeOut(fd, done, length);
            done += length;
            m_flushed.store(done);
            if (!last) {
                // Not ahead of the bounded rate: the rest of the disk's time belongs to the engine. A
                // stop asked for meanwhile writes the rest at once.
                const auto due = m_bytesPerSecond > 0
                                     ? opened + std::chrono::microseconds(done * 1000000 / m_bytesPerSecond)
                                     : Clock::now();
                std::unique_lock<std::mutex> lock(m_mutex);
                if (m_wake.wait_until(lock, due, [this] { return m_stop; }))
                    break;
            }
        }
    }
    if (fd >= 0)
        ::close(fd);
}

} // namespace garvina
