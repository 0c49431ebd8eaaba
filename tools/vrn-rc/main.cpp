// vrn-rc: lists, adds or replaces, and extracts the resources of an executable,
// through the same code the program uses at run time. The build embeds the
// program's own resources with it.
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

namespace {

enum ExitCode { Success = 0, Failure = 1, BadArguments = 2 };

const char Usage[] =
    "usage: vrn-rc list EXE\n"
    "       vrn-rc add EXE NAME|#ID FILE [NAME|#ID FILE ...]\n"
    "       vrn-rc extract EXE NAME|#ID OUTFILE\n"
    "NAME is matched without regard to case; #ID is a decimal number (#100).\n";

void printLine(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
}

void failWith(const QString& text)
{
    printLine(stderr, QStringLiteral("vrn-rc: ") + text);
}

bool requireFile(const QString& path)
{
    if (QFileInfo(path).isFile())
        return true;
    failWith(QStringLiteral("%1: no such file").arg(path));
    return false;
}

int list(const QString& exe)
{
    if (!requireFile(exe))
        return Failure;
    for (const platform::ResourceEntry& entry : platform::listResources(exe))
        printLine(stdout, QStringLiteral("%1\t%2").arg(entry.id.text()).arg(entry.size));
    return Success;
}

// Every pair goes into one update, so the executable is rewritten once.
int add(const QString& exe, const QStringList& pairs)
{
    if (!requireFile(exe))
        return Failure;
    platform::ResourceUpdate update(exe);
    for (qsizetype i = 0; i + 1 < pairs.size(); i += 2)
        update.addFile(platform::ResourceId::fromText(pairs[i]), pairs[i + 1]);
    update.commit();
    return Success;
}

int extract(const QString& exe, const QString& id, const QString& target)
{
    if (!requireFile(exe))
        return Failure;
    platform::extractResource(exe, platform::ResourceId::fromText(id), target);
    return Success;
}

bool validIds(const QStringList& pairs)
{
    for (qsizetype i = 0; i < pairs.size(); i += 2)
        // "#" only ever introduces a number: "#1OO" is a typing error, not a name
        if (pairs[i].isEmpty()
            || (pairs[i].startsWith(QLatin1Char('#')) && !platform::ResourceId::fromText(pairs[i]).isNumbered()))
            return false;
    return true;
}

int run(const QStringList& args)
{
    const QString command = args.value(0);
    if (command == QLatin1String("list") && args.size() == 2)
        return list(args[1]);
    if (command == QLatin1String("add") && args.size() >= 4 && args.size() % 2 == 0 && validIds(args.mid(2)))
        return add(args[1], args.mid(2));
    if (command == QLatin1String("extract") && args.size() == 4 && validIds(args.mid(2, 1)))
        return extract(args[1], args[2], args[3]);
    std::fputs(Usage, stderr);
    return BadArguments;
}

}  // namespace

int main(int argc, char** argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QFile::decodeName(argv[i]);
    try {
        return run(args);
    } catch (const Exception& error) {
        failWith(errorText(error));
    } catch (const std::exception& error) {
        failWith(QString::fromLocal8Bit(error.what()));
    }
    return Failure;
}
