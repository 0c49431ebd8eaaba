// Folder handling that protects the user's files: the private temporary folder
// and recursive deletion.
#include "platform/platform.h"
#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct TempDirScope {
    QByteArray saved = qgetenv("TMPDIR");
    explicit TempDirScope(const QString& folder) { qputenv("TMPDIR", QFile::encodeName(folder)); }
    ~TempDirScope() { qputenv("TMPDIR", saved); }
};

void touch(const QString& path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("x");
}

// Whether the folder's inode flags hold `flag`; given `set`, the flag is set first. False
// where the file system keeps no such flag.
bool hasFlag(const QString& folder, int flag, bool set = false)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    bool read = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (read && set && (flags |= flag, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0))
        read = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    ::close(fd);
    return read && (flags & flag);
}

}  // namespace

TEST(SystemTempPath, PrivateFolderIsUsedAsItIs)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("private"));
    TempDirScope scope(folder);
    EXPECT_EQ(platform::systemTempPath(), folder + QLatin1Char('/'));
}

TEST(SystemTempPath, SubfolderThatOthersMayWriteIsRefused)
{
    const QString shared = sandbox::freshFolder(QStringLiteral("shared"));
    QFile::setPermissions(shared, QFileDevice::Permissions(0x7777));
    const QString planted = shared + QStringLiteral("/vorlen-%1").arg(getuid());
    ASSERT_TRUE(QDir().mkdir(planted));
    QFile::setPermissions(planted, QFileDevice::Permissions(0x7777));
    TempDirScope scope(shared);
    try {
        platform::systemTempPath();
        FAIL() << "a folder that others may write was accepted";
    } catch (const ETempFolderError& error) {
        EXPECT_TRUE(error.message().contains(planted)) << error.message().toStdString();
    }
}

TEST(SystemTempPath, MissingFolderOrAFileIsAClearError)
{
    const QString file = sandbox::freshFolder(QStringLiteral("temp-file")) + QStringLiteral("/plain");
    touch(file);
    const std::pair<QString, QString> cases[] = {
        {sandbox::root() + QStringLiteral("/gone"), QStringLiteral("does not exist.")},
        {file, QStringLiteral("is not a folder.")},
        {file + QStringLiteral("/below"), QStringLiteral("cannot be used. Not a directory")},
    };
    for (const auto& [folder, reason] : cases) {
        TempDirScope scope(folder);
        try {
            platform::systemTempPath();
            ADD_FAILURE() << "accepted " << folder.toStdString();
        } catch (const ETempFolderError& error) {
            EXPECT_EQ(error.message(), QStringLiteral("The temporary folder \"%1\" %2").arg(folder, reason));
        }
    }
}

TEST(DeleteTree, RemovesLinksButNeverWhatTheyPointTo)
{
    const QString outside = sandbox::freshFolder(QStringLiteral("precious"));
    touch(outside + QStringLiteral("/keep.txt"));
    const QString tree = sandbox::freshFolder(QStringLiteral("tree"));
    ASSERT_TRUE(QDir().mkpath(tree + QStringLiteral("/sub/locked")));
    touch(tree + QStringLiteral("/sub/locked/file"));
    touch(tree + QStringLiteral("/sub/readonly.txt"));
    QFile::setPermissions(tree + QStringLiteral("/sub/readonly.txt"), QFile::ReadOwner);
    QFile::setPermissions(tree + QStringLiteral("/sub/locked"), QFile::ReadOwner | QFile::ExeOwner);
    ASSERT_TRUE(QFile::link(outside, tree + QStringLiteral("/sub/link-to-folder")));
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/keep.txt"), tree + QStringLiteral("/link-to-file")));

    platform::deleteTree(tree + QLatin1Char('/'));
    EXPECT_FALSE(QFileInfo::exists(tree));
    EXPECT_TRUE(QFile::exists(outside + QStringLiteral("/keep.txt")));
    EXPECT_EQ(readFile(outside + QStringLiteral("/keep.txt")), QByteArray("x"));
}

// Folders are emptied side by side: whatever the tree's shape, all of it goes.
TEST(DeleteTree, EmptiesWideAndDeepTreesWhole)
{
    const struct {
        const char* shape;
        int width, depth;
    } cases[] = {{"wider than the helpers", 40, 2}, {"deep", 1, 40}, {"both", 12, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shape);
        const QString tree = sandbox::freshFolder(QStringLiteral("wide-tree"));
        for (int i = 0; i < c.width; ++i) {
            QString folder = tree;
            for (int level = 0; level < c.depth; ++level) {
                folder += QStringLiteral("/f%1").arg(i);
                ASSERT_TRUE(QDir().mkpath(folder));
                touch(folder + QStringLiteral("/a"));
                touch(folder + QStringLiteral("/b"));
            }
        }
        EXPECT_EQ(platform::deleteTree(tree), QStringList());
        EXPECT_FALSE(QFileInfo::exists(tree));
    }
}

// A new tree's root asks the file system to spread its folders, where the file system
// takes that hint at all (a folder it is set on directly tells).
// A folder's listing: every entry but "." and "..", hidden ones too, in order of name, and
// a link to a folder is no folder.
TEST(FolderEntries, ListsEveryEntryWithItsKindInOrder)
{
    const QString outside = sandbox::freshFolder(QStringLiteral("listed-outside"));
    const QString folder = sandbox::freshFolder(QStringLiteral("listed"));
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/sub")));
    touch(folder + QStringLiteral("/b.txt"));
    touch(folder + QStringLiteral("/.hidden"));
    ASSERT_TRUE(QFile::link(outside, folder + QStringLiteral("/a-link")));
    const std::optional<std::vector<platform::FolderEntry>> entries = platform::folderEntries(folder);
    ASSERT_TRUE(entries);
    QStringList listed;
    for (const platform::FolderEntry& entry : *entries)
        listed << entry.name + (entry.folder ? QStringLiteral("/") : QString());
    EXPECT_EQ(listed, (QStringList{QStringLiteral(".hidden"), QStringLiteral("a-link"), QStringLiteral("b.txt"), QStringLiteral("sub/")}));
    EXPECT_FALSE(platform::folderEntries(folder + QStringLiteral("/missing")));
}

TEST(MarkTreeTop, SetsTheHintWhereTheFileSystemTakesIt)
{
    const QString probe = sandbox::freshFolder(QStringLiteral("probe")), root = sandbox::freshFolder(QStringLiteral("root"));
    if (!hasFlag(probe, FS_TOPDIR_FL, true))
        GTEST_SKIP() << "this file system keeps no such hint";
    platform::markTreeTop(QFile::encodeName(root));
    platform::markTreeTop(QFile::encodeName(root + QStringLiteral("/missing")));
    EXPECT_TRUE(hasFlag(root, FS_TOPDIR_FL));
}

// A folder whose name is not valid UTF-8 cannot be written back byte for byte: the run
// is refused before it writes anything, naming the variable.
TEST(UserFolderNames, ANameThatIsNotUtf8IsRefused)
{
    const QByteArray valid = QFile::encodeName(sandbox::root() + QStringLiteral("/J\u00FCrgen"));
    const QByteArray invalid = QFile::encodeName(sandbox::root()) + "/J\xFCrgen";
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "TMPDIR"}) {
        SCOPED_TRACE(name);
        const QByteArray saved = qgetenv(name);
        qputenv(name, valid);
        EXPECT_NO_THROW(platform::checkUserFolderNames());
        qputenv(name, invalid);
        try {
            platform::checkUserFolderNames();
            ADD_FAILURE() << "accepted";
        } catch (const EFolderNameError& error) {
            EXPECT_TRUE(error.message().contains(QLatin1String(name))) << error.message().toStdString();
        }
        qputenv(name, saved);
    }
}

TEST(Registry, StoresStringsPerKeyAndRefusesOtherTypes)
{
    const QString key = QStringLiteral("Software\\Tarnvek\\vrn\\");
    EXPECT_FALSE(platform::readRegistryString(key, QStringLiteral("key")).has_value());
    platform::writeRegistryString(key, QStringLiteral("key"), QStringLiteral("C:/x & y"));
    platform::writeRegistryString(key, QString(), QStringLiteral("default"));
    EXPECT_EQ(platform::readRegistryString(key, QStringLiteral("key")), QStringLiteral("C:/x & y"));
    EXPECT_EQ(platform::readRegistryString(key, QString()), QStringLiteral("default"));
    EXPECT_TRUE(QFile::exists(sandbox::configHome() + QStringLiteral("/Tarnvek/vrn.conf")));

    EXPECT_TRUE(platform::deleteRegistryValue(key, QStringLiteral("key")));
    EXPECT_FALSE(platform::deleteRegistryValue(key, QStringLiteral("key")));
    EXPECT_FALSE(platform::readRegistryString(key, QStringLiteral("key")).has_value());

    QFile conf(sandbox::configHome() + QStringLiteral("/Tarnvek/vrn.conf"));
    ASSERT_TRUE(conf.open(QIODevice::Append));
    conf.write("[General]\nbinary=@ByteArray(abc)\n");
    conf.close();
    EXPECT_THROW(platform::readRegistryString(key, QStringLiteral("binary")), ERegistryException);
}

TEST(LanguageId, FollowsTheFirstLocaleVariableThatIsSet)
{
    const QByteArray all = qgetenv("LC_ALL"), messages = qgetenv("LC_MESSAGES"), lang = qgetenv("LANG");
    qputenv("LC_ALL", "");
    qputenv("LC_MESSAGES", "be_BY.UTF-8");
    qputenv("LANG", "en_GB.UTF-8");
    EXPECT_EQ(platform::systemDefaultLangId(), 0x0423);
    EXPECT_EQ(platform::ansiCodePage(), 1251);
    qputenv("LC_MESSAGES", "");
    EXPECT_EQ(platform::systemDefaultLangId(), 0x0809);
    EXPECT_EQ(platform::ansiCodePage(), 1252);
    qputenv("LANG", "de_DE.UTF-8");
    EXPECT_EQ(platform::systemDefaultLangId(), 0x0409);
    qputenv("LC_ALL", all);
    qputenv("LC_MESSAGES", messages);
    qputenv("LANG", lang);
}
