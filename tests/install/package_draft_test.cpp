// The package written while its archive downloads: it holds the setup and exactly the
// finished archive, or it is gone and the package is made after the download.
#include "install/package_draft.h"
#include "archive/download_feeder.h"
#include "install_test_support.h"
#include "platform/platform.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace installtest;
using platform::ResourceId;

namespace {

// A setup program with a resource of its own and, when `packaged`, an earlier archive and
// descriptor, as a package carries them.
QString makeSetup(const QString& folder, bool packaged)
{
    const QString setup = folder + QStringLiteral("/setup");
    writeFile(setup, "#!/bin/sh\n" + pattern(100000), 0755);
    platform::ResourceUpdate update(setup);
    update.add(ResourceId::named(QStringLiteral("EULA")), "licence");
    if (packaged) {
        update.add(ResourceId::numbered(100), "old archive");
        update.add(ResourceId::numbered(200), "old descriptor");
    }
    update.commit();
    return setup;
}

}  // namespace

TEST(PackageDraft, HoldsTheSetupAndExactlyTheFinishedArchiveOrNothing)
{
    const QByteArray archive = pattern(3 << 20, 5);
    const struct {
        const char* what;
        bool packaged;
        Download how;
        bool drafted;
    } cases[] = {
        {"a plain setup", false, Download::Whole, true},
        {"a package made again replaces its archive", true, Download::Whole, true},
        {"a download that started over", false, Download::StartsOver, false},
        {"a download that ended short", false, Download::EndsShort, false},
    };
    for (const auto& c : cases) {
        const QString folder = sandbox::freshFolder(QStringLiteral("draft"));
        const QString setup = makeSetup(folder, c.packaged);
        const QString zip = folder + QStringLiteral("/vrnsetup.zip");
        const QString part = folder + QStringLiteral("/VorlenSetup.exe.part");
        writeFile(folder + QStringLiteral("/system.xml"), "<descriptor/>");
        {
            PackageDraft draft(std::make_shared<TDownloadTap>(), setup, part);
            download(*draft.Tap(), zip + QStringLiteral(".part"), archive, c.how);
            QFile::rename(zip + QStringLiteral(".part"), zip);
            ASSERT_EQ(draft.Finish(zip), c.drafted) << c.what;
            EXPECT_FALSE(QFile::exists(part)) << "nothing bears the part's name before it is whole: " << c.what;
            if (c.drafted)
                draft.Complete(folder + QStringLiteral("/system.xml"));
        }
        EXPECT_EQ(QFile::exists(part), c.drafted) << c.what;
        if (!c.drafted)
            continue;
        EXPECT_EQ(platform::readResource(part, ResourceId::numbered(100)), archive) << c.what;
        EXPECT_EQ(platform::readResource(part, ResourceId::numbered(200)), QByteArray("<descriptor/>")) << c.what;
        EXPECT_EQ(platform::readResource(part, ResourceId::named(QStringLiteral("EULA"))), QByteArray("licence")) << c.what;
        EXPECT_EQ(platform::listResources(part).size(), 3) << c.what;
        EXPECT_EQ(readFile(part).left(100010), readFile(setup).left(100010)) << "the program itself is copied";
        EXPECT_EQ(modeOf(part), 0755u) << c.what;
    }

    // the archive that was checked is another file than the one the draft followed: a copy
    // of it (a cached download on another file system) will do, other bytes will not
    QByteArray changed = archive;
    changed[archive.size() / 2] = 'x';
    for (const QByteArray& checked : {archive, changed}) {
        const QString folder = sandbox::freshFolder(QStringLiteral("draft-other"));
        PackageDraft draft(std::make_shared<TDownloadTap>(), makeSetup(folder, false), folder + QStringLiteral("/p.part"));
        download(*draft.Tap(), folder + QStringLiteral("/followed"), archive, Download::Whole);
        writeFile(folder + QStringLiteral("/checked"), checked);
        EXPECT_EQ(draft.Finish(folder + QStringLiteral("/checked")), checked == archive);
    }
}
