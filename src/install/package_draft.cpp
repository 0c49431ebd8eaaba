#include "install/package_draft.h"

#include "platform/platform.h"

#include <QFile>

#include <sys/stat.h>

namespace {

// What the draft copies at a time: large enough for a fast copy, small enough that it
// keeps up with the download.
constexpr qint64 Step = 8 << 20;

const platform::ResourceId ArchiveResource = platform::ResourceId::numbered(100);
const platform::ResourceId DescriptorResource = platform::ResourceId::numbered(200);

// Whether the open file `fd` holds the bytes of the file at `path`, `size` bytes long:
// it is that file, or (a download kept in the cache on another file system reaches the
// work folder as a copy) a file of the same bytes.
bool holdsFile(int fd, const QString& path, qint64 size)
{
    struct stat open {};
    struct stat named {};
    if (::fstat(fd, &open) != 0 || ::stat(QFile::encodeName(path).constData(), &named) != 0 || open.st_size != size
        || named.st_size != size)
        return false;
    if (open.st_dev == named.st_dev && open.st_ino == named.st_ino)
        return true;
    QFile other(path);
    QFile own;
    if (!other.open(QIODevice::ReadOnly) || !own.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle) || !own.seek(0))
        return false;
    for (qint64 at = 0; at < size; at += Step) {
        const QByteArray theirs = other.read(Step);
        if (theirs.isEmpty() || theirs != own.read(Step))
            return false;
    }
    return true;
}

}  // namespace

PackageDraft::PackageDraft(std::shared_ptr<TDownloadTap> tap, QString setup, QString part)
    : m_tap(std::move(tap)), m_setup(std::move(setup)), m_part(std::move(part))
{
    m_thread = std::thread(&PackageDraft::follow, this);
}

PackageDraft::~PackageDraft()
{
    m_tap->GiveUp();
    if (m_thread.joinable())
        m_thread.join();
    // the writer drops an unfinished draft
    m_writer.reset();
}

void PackageDraft::follow()
{
    try {
        QFile::remove(m_part);  // left by a run killed while it made its package after the download
        m_writer = std::make_unique<platform::ResourceWriter>(m_setup, m_part,
                                                              QList<platform::ResourceId>{ArchiveResource, DescriptorResource});
        m_writer->begin(ArchiveResource);
        for (;;) {
            const bool more = m_tap->WaitFor(m_copied + Step);
            const qint64 present = m_tap->Present();
            if (present < m_copied)
                throw std::runtime_error("the download started over");
            if (present > m_copied)
                m_writer->append(m_tap->ReadHandle(), m_copied, present - m_copied);
            m_copied = present;
            if (!more)
                return;
        }
    } catch (...) {
        // a full disk, an unreadable setup: the package is made after the download
        m_failed = true;
    }
}

bool PackageDraft::Finish(const QString& archive)
{
    // the download is over: a wait for bytes that never came ends now
    m_tap->Close();
    if (m_thread.joinable())
        m_thread.join();
    return !m_failed && m_writer && m_tap->EndedWhole() && holdsFile(m_tap->ReadHandle(), archive, m_copied);
}

void PackageDraft::Complete(const QString& descriptor)
{
    m_writer->appendFile(DescriptorResource, descriptor);
    m_writer->finish();
}
