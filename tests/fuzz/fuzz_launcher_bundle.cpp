// The bundle behind the portable setup file's launcher, as a file someone carried or a
// disk damaged holds it: the launcher either refuses it or takes an index whose every
// path stays below the cache folder and whose sizes add up to what it unpacks.
#include "fuzz_target.h"

#include <QFile>
#include <QTemporaryDir>

#include <csetjmp>
#include <cstdarg>
#include <cstring>

extern "C" {
#include "launcher/bundle_reader.h"
}

namespace {

std::jmp_buf refused;

bool safe(const char* path)
{
    if (*path == '\0' || *path == '/')
        return false;
    for (const char* part = path; part;) {
        const char* slash = std::strchr(part, '/');
        const size_t length = slash ? static_cast<size_t>(slash - part) : std::strlen(part);
        if (length == 0 || (length == 1 && part[0] == '.') || (length == 2 && std::strncmp(part, "..", 2) == 0))
            return false;
        part = slash ? slash + 1 : nullptr;
    }
    return true;
}

}  // namespace

// The launcher's own report ends the start; here it ends the input.
extern "C" void fail(const char*, ...)
{
    std::longjmp(refused, 1);
}

FUZZ_TARGET(launcher_bundle)
{
    static QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("vrnsetup")));
    if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) != static_cast<qint64>(size)
        || !file.flush())
        return;
    bundle bundle{};
    if (setjmp(refused) != 0)
        return;  // refused, as a damaged bundle must be
    read_bundle(file.handle(), &bundle);
    FUZZ_EXPECT(bundle.count <= BUNDLE_MAX_ENTRIES);
    uint64_t total = 0;
    for (uint32_t i = 0; i < bundle.count; ++i) {
        FUZZ_EXPECT(safe(bundle.entries[i].path));
        total += bundle.entries[i].size;
    }
    FUZZ_EXPECT(total == bundle.unpacked_size);
    FUZZ_EXPECT(bundle.payload_offset <= size);
}
