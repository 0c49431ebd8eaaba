#include "net/download_tap.h"

#include <algorithm>

void TDownloadTap::Opened(const QString& partPath)
{
    const std::lock_guard lock(m_mutex);
    m_reader.close();
    m_reader.setFileName(partPath);
    // a part that cannot be read leaves the handle at -1: the reader then gives up
    m_reader.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

void TDownloadTap::Grew(qint64 bytes)
{
    std::unique_lock lock(m_mutex);
    m_bytes = bytes;
    // one wake-up per awaited size, not one per piece of the body
    if (m_wanted == 0 || bytes < m_wanted)
        return;
    m_wanted = 0;
    lock.unlock();
    m_grown.notify_all();
}

void TDownloadTap::Expect(qint64 total)
{
    const std::lock_guard lock(m_mutex);
    m_total = total;
}

qint64 TDownloadTap::Present() const
{
    const std::lock_guard lock(m_mutex);
    return m_bytes;
}

qint64 TDownloadTap::StillToCome() const
{
    const std::lock_guard lock(m_mutex);
    return std::max<qint64>(m_total - m_bytes, 0);
}

void TDownloadTap::StartedOver()
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_bytes > 0)
            m_restarted = true;
        m_bytes = 0;
    }
    m_grown.notify_all();
}

void TDownloadTap::Ended(bool whole)
{
    {
        const std::lock_guard lock(m_mutex);
        m_ended = true;
        m_whole = whole;
    }
    m_grown.notify_all();
}

bool TDownloadTap::WaitFor(qint64 bytes)
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_restarted || m_givenUp)
            return false;
        if (m_bytes >= bytes)
            return true;
        if (m_ended)
            return false;
        m_wanted = m_wanted == 0 ? bytes : std::min(m_wanted, bytes);
        m_grown.wait(lock);
    }
}

int TDownloadTap::ReadHandle() const
{
    const std::lock_guard lock(m_mutex);
    return m_reader.handle();
}

bool TDownloadTap::EndedWhole() const
{
    const std::lock_guard lock(m_mutex);
    return m_ended && m_whole && !m_restarted;
}

void TDownloadTap::GiveUp()
{
    {
        const std::lock_guard lock(m_mutex);
        m_givenUp = true;
    }
    m_grown.notify_all();
}

void TDownloadTap::Close()
{
    {
        const std::lock_guard lock(m_mutex);
        m_ended = true;
    }
    m_grown.notify_all();
}
