// The inputs kept for each fuzz target (its seeds and what fuzzing once found) pass it:
// every finding once mended stays mended without clang or a fuzzer.
#include "fuzz_target.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

TEST(FuzzRegressions, EveryKeptInputKeepsItsTargetsInvariants)
{
    ASSERT_FALSE(fuzz::targets().empty());
    for (const auto& [name, target] : fuzz::targets()) {
        const QDir folder(QStringLiteral(VRN_SOURCE_DIR "/tests/fuzz/regressions/") + QString::fromStdString(name));
        const QStringList inputs = folder.entryList(QDir::Files | QDir::Hidden);
        EXPECT_FALSE(inputs.isEmpty()) << name << " keeps no inputs in " << folder.path().toStdString();
        for (const QString& input : inputs) {
            QFile file(folder.filePath(input));
            ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
            const QByteArray bytes = file.readAll();
            EXPECT_NO_THROW(target(reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size())))
                << name << ": " << input.toStdString();
        }
    }
}
