// Resources appended to an executable file: lookup, extraction, updates that keep the
// program runnable, and files whose table is missing or damaged.
#include "platform/platform.h"
#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QtEndian>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using platform::ResourceId;
using platform::ResourceUpdate;

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

QMap<QString, qint64> listing(const QString& exe)
{
    QMap<QString, qint64> result;
    for (const platform::ResourceEntry& entry : platform::listResources(exe))
        result.insert(entry.id.text(), entry.size);
    return result;
}

QString notFoundMessage(const QString& exe, const ResourceId& id)
{
    try {
        platform::readResource(exe, id);
    } catch (const EResNotFound& error) {
        return error.message();
    }
    return QStringLiteral("(found)");
}

QByteArray patterned(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(seed + i * 7);
    return bytes;
}

// A stand-in executable with one numbered and one named entry.
QString fileWithTable(const QString& folder, const QByteArray& head)
{
    const QString path = folder + QStringLiteral("/tabled.bin");
    writeFile(path, head);
    ResourceUpdate update(path);
    update.add(ResourceId::numbered(100), patterned(1000, 'a'));
    update.add(ResourceId::named(QStringLiteral("Doc")), patterned(10, 'b'));
    update.commit();
    return path;
}

}  // namespace

TEST(ResourceStore, PackageOfTheProgramCarriesArchiveAndDescriptorAndStillRuns)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("package"));
    const QString exe = copyOfProgram(folder, QStringLiteral("VorlenSetup.exe"));
    const QMap<QString, qint64> before = listing(exe);
    const QByteArray archive = patterned(3 * 1024 * 1024 + 17, 'z');
    const QByteArray descriptor("<?xml version=\"1.0\"?>\r\n<system><number>42</number></system>\r\n");
    writeFile(folder + QStringLiteral("/vrnsetup.zip"), archive);
    writeFile(folder + QStringLiteral("/system.xml"), descriptor);
    QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                   | QFile::ExeGroup);
    const auto permissions = QFile::permissions(exe);
    {
        ResourceUpdate update(exe);
        update.addFile(ResourceId::numbered(100), folder + QStringLiteral("/vrnsetup.zip"));
        update.addFile(ResourceId::numbered(200), folder + QStringLiteral("/system.xml"));
        update.commit();
    }

    // the package runs until it waits for its user, then ends as a closing session ends it
    const QString temp = sandbox::freshFolder(QStringLiteral("package-run"));
    const ProcessResult run = runProcessUntil(
        exe, {},
        {{QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen")}, {QStringLiteral("TMPDIR"), temp},
         {QStringLiteral("VRN_RELEASE_BASE_URL"), QStringLiteral("http://127.0.0.1:1/")},
         {QStringLiteral("VRN_COUNTER_RELEASE_URL"), QStringLiteral("http://127.0.0.1:1/")}},
        temp + QStringLiteral("/Vorlen_Setup_Install.log"), "WaitForUserAction");
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(QFile::permissions(exe), permissions);

    QMap<QString, qint64> expected = before;
    expected.insert(QStringLiteral("#100"), archive.size());
    expected.insert(QStringLiteral("#200"), descriptor.size());
    EXPECT_EQ(listing(exe), expected) << "the program's own resources stay beside the new ones";
    EXPECT_EQ(platform::readResource(exe, ResourceId::numbered(200)), descriptor);
    platform::extractResource(exe, ResourceId::numbered(100), folder + QStringLiteral("/out.zip"));
    EXPECT_EQ(readFile(folder + QStringLiteral("/out.zip")), archive);
}

TEST(ResourceStore, ProgramCarriesItsImages)
{
    QImage logo;
    ASSERT_TRUE(logo.loadFromData(platform::readResource(builtProgram(), ResourceId::named(QStringLiteral("logo"))),
                                  "PNG"));
    EXPECT_EQ(logo.size(), QSize(505, 125));
    EXPECT_TRUE(logo.hasAlphaChannel());

    QByteArray gif = platform::readResource(builtProgram(), ResourceId::named(QStringLiteral("Network")));
    QBuffer buffer(&gif);
    QImageReader reader(&buffer, "GIF");
    EXPECT_EQ(reader.imageCount(), 20);
    EXPECT_EQ(reader.loopCount(), -1) << "loops for ever";
    int frames = 0;
    for (QImage frame = reader.read(); !frame.isNull(); frame = reader.read(), ++frames) {
        EXPECT_EQ(frame.size(), QSize(20, 20));
        if (reader.canRead()) {  // the delay read with a frame belongs to the next one
            EXPECT_EQ(reader.nextImageDelay(), 100) << "frame " << frames;
        }
    }
    EXPECT_EQ(frames, 20);
}

TEST(ResourceStore, UpdateKeepsTheExecutableBytesAndReplacesOnlyWhatItNames)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("replace"));
    const QByteArray head = patterned(5000, 'x');
    const QString path = fileWithTable(folder, head);
    {
        ResourceUpdate update(path);
        update.add(ResourceId::named(QStringLiteral("DOC")), QByteArrayLiteral("new text"));
        update.add(ResourceId::named(QStringLiteral("Lang_en_GB")), QByteArrayLiteral("<doc/>"));
        update.commit();
    }
    EXPECT_TRUE(readFile(path).startsWith(head));
    EXPECT_EQ(listing(path), (QMap<QString, qint64>{{QStringLiteral("#100"), 1000},
                                                     {QStringLiteral("DOC"), 8},
                                                     {QStringLiteral("Lang_en_GB"), 6}}));
    EXPECT_EQ(platform::readResource(path, ResourceId::numbered(100)), patterned(1000, 'a'));
    EXPECT_EQ(platform::readResource(path, ResourceId::named(QStringLiteral("doc"))), "new text");
    EXPECT_EQ(platform::readResource(path, ResourceId::named(QStringLiteral("LANG_EN_GB"))), "<doc/>");
    EXPECT_EQ(notFoundMessage(path, ResourceId::named(QStringLiteral("100"))), "Resource 100 not found")
        << "a name is never an id";
}

TEST(ResourceStore, DiscardedUpdateLeavesTheFileUntouched)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("discard"));
    const QString path = fileWithTable(folder, patterned(300, 'h'));
    const QByteArray before = readFile(path);
    {
        ResourceUpdate update(path);
        update.add(ResourceId::numbered(100), QByteArrayLiteral("other"));
        update.add(ResourceId::numbered(7), QByteArrayLiteral("more"));
    }
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files), QStringList{QStringLiteral("tabled.bin")})
        << "no temporary file stays behind";
}

TEST(ResourceStore, MissingResourcesAndUnwritableTargetsRaiseTheirErrors)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("missing"));
    const QString path = fileWithTable(folder, "head");
    EXPECT_EQ(notFoundMessage(path, ResourceId::named(QStringLiteral("EULA_en_GB"))),
              "Resource EULA_en_GB not found");
    EXPECT_EQ(notFoundMessage(path, ResourceId::numbered(200)), "Resource 200 not found");
    EXPECT_EQ(notFoundMessage(folder + QStringLiteral("/absent.exe"), ResourceId::numbered(100)),
              "Resource 100 not found");

    const QString notWritten = folder + QStringLiteral("/not-written");
    EXPECT_THROW(platform::extractResource(path, ResourceId::numbered(1), notWritten), EResNotFound);
    EXPECT_FALSE(QFile::exists(notWritten)) << "nothing is created for a missing resource";

    const QString target = folder + QStringLiteral("/no-such-folder/out.zip");
    try {
        platform::extractResource(path, ResourceId::numbered(100), target);
        FAIL() << "the target cannot be created";
    } catch (const EFCreateError& error) {
        EXPECT_EQ(error.message(), fileCreateError(target, QStringLiteral("No such file or directory")).message());
    }
    EXPECT_THROW(ResourceUpdate(folder + QStringLiteral("/absent.exe")), EInOutError);
    ResourceUpdate update(path);
    EXPECT_THROW(update.addFile(ResourceId::numbered(5), folder + QStringLiteral("/absent.zip")), EInOutError);
}

// Each damage is applied to a good file. Without the magic value at its end a file
// has no table; with it, a table that does not add up is reported as damaged when
// listed, and reads as holding nothing. A later update keeps all its bytes and adds a
// fresh table either way.
TEST(ResourceStore, MissingOrDamagedTableReadsAsNoResources)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("damaged"));
    const QByteArray good = readFile(fileWithTable(folder, patterned(2000, 'e')));
    const qsizetype footer = good.size() - 32;
    const qsizetype index = static_cast<qsizetype>(qFromLittleEndian<quint64>(good.constData() + footer + 8));
    auto patched = [&](qsizetype at, quint64 value, int width) {
        QByteArray bytes = good;
        for (int i = 0; i < width; ++i)
            bytes[at + i] = static_cast<char>(value >> (8 * i));
        return bytes;
    };
    struct Case {
        const char* what;
        QByteArray bytes;
        bool damaged;
    };
    const QList<Case> damages = {
        {"no table at all", patterned(4000, 'n'), false},
        {"empty file", QByteArray(), false},
        {"bad magic", patched(good.size() - 1, 0, 1), false},
        {"cut short by one byte", good.left(good.size() - 1), false},
        {"only a footer's worth of bytes", good.right(32), true},
        {"unknown version", patched(footer + 20, 99, 4), true},
        {"cut inside the index", good.left(index + 10) + good.right(32), true},
        {"index claims more entries", patched(index, 3, 4), true},
        {"index size beyond the file", patched(footer + 16, 0xFFFFFFF0u, 4), true},
        {"table start beyond the index", patched(footer, quint64(1) << 62, 8), true},
        {"blob size beyond the index", patched(index + 4 + 12 + 8, quint64(1) << 40, 8), true},
        {"blob offset inside the executable", patched(index + 4 + 12, 10, 8), true},
    };
    for (const auto& [what, bytes, damaged] : damages) {
        SCOPED_TRACE(what);
        const QString path = folder + QStringLiteral("/damaged.bin");
        writeFile(path, bytes);
        if (damaged) {
            try {
                platform::listResources(path);
                ADD_FAILURE() << "a damaged table listed as fine";
            } catch (const EInOutError& error) {
                EXPECT_EQ(error.message(), QStringLiteral("The resource table of \"%1\" is damaged.").arg(path));
            }
        } else {
            EXPECT_TRUE(platform::listResources(path).isEmpty());
        }
        EXPECT_EQ(notFoundMessage(path, ResourceId::numbered(100)), "Resource 100 not found");

        ResourceUpdate update(path);
        update.add(ResourceId::named(QStringLiteral("X")), QByteArrayLiteral("fresh"));
        update.commit();
        EXPECT_TRUE(readFile(path).startsWith(bytes));
        EXPECT_EQ(listing(path), (QMap<QString, qint64>{{QStringLiteral("X"), 5}}));
    }
}

// Extracting onto the executable itself, by any name, would destroy it.
TEST(ResourceStore, ExtractionRefusesItsOwnSourceAndReplacesATargetOnlyWhole)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("self-target"));
    const QString path = fileWithTable(folder, patterned(3000, 's'));
    const QByteArray before = readFile(path);
    ASSERT_TRUE(QFile::link(path, folder + QStringLiteral("/symbolic")));
    ASSERT_EQ(::link(QFile::encodeName(path).constData(), QFile::encodeName(folder + QStringLiteral("/hard")).constData()), 0);
    for (const QString& target : {path, folder + QStringLiteral("/symbolic"), folder + QStringLiteral("/hard")}) {
        SCOPED_TRACE(target.toStdString());
        try {
            platform::extractResource(path, ResourceId::numbered(100), target);
            ADD_FAILURE() << "extracted onto the source";
        } catch (const EFCreateError& error) {
            EXPECT_EQ(error.message(), fileCreateError(target, QStringLiteral("It is the file the resource is read from."))
                                           .message());
        }
        EXPECT_EQ(readFile(path), before);
    }

    const QString existing = folder + QStringLiteral("/existing.bin");
    writeFile(existing, "old content that is longer than the resource");
    platform::extractResource(path, ResourceId::named(QStringLiteral("doc")), existing);
    EXPECT_EQ(readFile(existing), patterned(10, 'b'));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 4) << "no temporary file stays behind";
}

// The running program reads its own resources from its running image: the copy of
// this test program below replaces, or deletes, its own file and reads on.
TEST(ResourceStore, OwnResourcesStayReadableWhenTheProgramFileIsReplacedOrDeleted)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("self"));
    const QString copy = folder + QStringLiteral("/setup-copy");
    ASSERT_TRUE(QFile::copy(platform::executablePath(), copy));
    {
        ResourceUpdate update(copy);
        update.add(ResourceId::named(QStringLiteral("PROBE")), QByteArrayLiteral("payload"));
        update.commit();
    }
    for (const char* mode : {"replace", "delete"}) {
        SCOPED_TRACE(mode);
        const QString run = folder + QStringLiteral("/run-") + QLatin1String(mode);
        ASSERT_TRUE(QFile::copy(copy, run));
        const ProcessResult result =
            runProcess(run, {QStringLiteral("--gtest_filter=OwnResourcesChild.*")},
                       {{QStringLiteral("VRN_OWN_RESOURCES_CHILD"), QLatin1String(mode)}});
        EXPECT_EQ(result.exitCode, 0) << result.out.toStdString() << result.err.toStdString();
        EXPECT_TRUE(result.out.contains("[  PASSED  ] 1 test")) << result.out.toStdString();
    }
}

// Started as the portable file's launcher starts it: the outer file (which alone carries
// PROBE here) handed on as an open descriptor is the running executable, also once replaced.
TEST(ResourceStore, HandedOnOuterFileIsTheRunningExecutable)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("outer"));
    const QString outer = folder + QStringLiteral("/outer-setup");
    const QString program = folder + QStringLiteral("/unpacked-program");
    ASSERT_TRUE(QFile::copy(platform::executablePath(), program));
    {
        ResourceUpdate update(program);
        update.add(ResourceId::named(QStringLiteral("PROBE")), QByteArrayLiteral("payload"));
        update.commit();
    }
    ASSERT_TRUE(QFile::rename(program, outer));
    ASSERT_TRUE(QFile::copy(platform::executablePath(), program));
    const ProcessResult result = runProcess(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("exec 7<\"$0\"; VRN_PORTABLE_FD=7 exec \"$1\" --gtest_filter=OwnResourcesChild.*"),
         outer, program},
        {{QStringLiteral("VRN_OWN_RESOURCES_CHILD"), QStringLiteral("replace")}, {QStringLiteral("VRN_OUTER_FILE"), outer}});
    EXPECT_EQ(result.exitCode, 0) << result.out.toStdString() << result.err.toStdString();
    EXPECT_TRUE(result.out.contains("[  PASSED  ] 1 test")) << result.out.toStdString();
}

TEST(OwnResourcesChild, ReadsOnAfterItsFileIsGone)
{
    const QString mode = qEnvironmentVariable("VRN_OWN_RESOURCES_CHILD");
    if (mode.isEmpty())
        GTEST_SKIP() << "runs in the copy started by OwnResourcesStayReadableWhenTheProgramFileIsReplacedOrDeleted";
    const QString self = platform::executablePath();
    if (qEnvironmentVariableIsSet("VRN_OUTER_FILE")) {
        ASSERT_EQ(self, qEnvironmentVariable("VRN_OUTER_FILE"));
        // what the program starts gets neither the variable nor the descriptor
        EXPECT_FALSE(qEnvironmentVariableIsSet("VRN_PORTABLE_FD"));
        EXPECT_EQ(::fcntl(7, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    }
    ASSERT_EQ(platform::readResource(self, ResourceId::named(QStringLiteral("probe"))), "payload");
    ASSERT_TRUE(QFile::remove(self));
    if (mode == QLatin1String("replace"))
        writeFile(self, "a newer download under the same name");

    // the path taken at start and the one the system gives now both mean the running program
    for (const QString& path : {self, platform::executablePath()}) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_EQ(platform::readResource(path, ResourceId::named(QStringLiteral("probe"))), "payload");
        EXPECT_EQ(listing(path).value(QStringLiteral("PROBE")), 7);
        const QString out = sandbox::freshFolder(QStringLiteral("child")) + QStringLiteral("/probe");
        platform::extractResource(path, ResourceId::named(QStringLiteral("PROBE")), out);
        EXPECT_EQ(readFile(out), "payload");
        // an uninstaller or package made now is a copy of the program that runs
        ASSERT_TRUE(platform::copyFile(path, out + QStringLiteral(".exe")));
        EXPECT_EQ(platform::readResource(out + QStringLiteral(".exe"), ResourceId::named(QStringLiteral("probe"))), "payload");
    }
}
