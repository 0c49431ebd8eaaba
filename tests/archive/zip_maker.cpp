#include "zip_maker.h"

#include <QFile>

#include <zip.h>

#include <stdexcept>

namespace zipmaker {

namespace {

[[noreturn]] void fail(zip_t* archive, const char* what)
{
    const std::string text = std::string(what) + ": " + (archive ? zip_strerror(archive) : "open failed");
    if (archive)
        zip_discard(archive);
    throw std::runtime_error(text);
}

zip_t* create(const QString& path)
{
    QFile::remove(path);
    int code = 0;
    zip_t* archive = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!archive)
        fail(nullptr, "zip_open");
    return archive;
}

// libzip reads the data when the archive is closed, so `keep` must outlive the close.
void add(zip_t* archive, const Entry& entry, QList<QByteArray>& keep)
{
    const QByteArray name = entry.name.toUtf8();
    zip_int64_t index = -1;
    if (entry.name.endsWith(QLatin1Char('/'))) {
        index = zip_dir_add(archive, name.constData(), ZIP_FL_ENC_UTF_8);
    } else {
        keep << entry.content;
        zip_source_t* source = zip_source_buffer(archive, keep.last().constData(),
                                                 static_cast<zip_uint64_t>(keep.last().size()), 0);
        index = zip_file_add(archive, name.constData(), source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
        if (index < 0)
            zip_source_free(source);
    }
    if (index < 0)
        fail(archive, "add");
    zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), entry.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 1);
    const bool unix = entry.unixMode.has_value();
    zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0,
                                     unix ? ZIP_OPSYS_UNIX : ZIP_OPSYS_DOS, unix ? *entry.unixMode << 16 : 0);
}

void close(zip_t* archive)
{
    if (zip_close(archive) != 0)
        fail(archive, "zip_close");
}

}  // namespace

void write(const QString& path, const QList<Entry>& entries)
{
    zip_t* archive = create(path);
    QList<QByteArray> keep;
    for (const Entry& entry : entries)
        add(archive, entry, keep);
    close(archive);
}

namespace {

// A source that produces one generated entry when libzip reads it.
struct Generated {
    QByteArray data;
    std::function<QByteArray()> make;
    zip_uint64_t offset = 0;
};

zip_int64_t generatedCallback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command)
{
    auto* g = static_cast<Generated*>(state);
    switch (command) {
    case ZIP_SOURCE_OPEN:
        g->data = g->make();
        g->offset = 0;
        return 0;
    case ZIP_SOURCE_READ: {
        const zip_uint64_t left = static_cast<zip_uint64_t>(g->data.size()) - g->offset;
        const zip_uint64_t n = std::min(left, length);
        memcpy(data, g->data.constData() + g->offset, n);
        g->offset += n;
        return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_CLOSE:
        g->data = QByteArray();  // one entry's data at a time
        return 0;
    case ZIP_SOURCE_STAT: {
        auto* st = static_cast<zip_stat_t*>(data);
        zip_stat_init(st);
        return sizeof(*st);
    }
    case ZIP_SOURCE_FREE:
        delete g;
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_FREE, ZIP_SOURCE_ERROR, -1);
    case ZIP_SOURCE_ERROR:
        return 0;
    default:
        return -1;
    }
}

}  // namespace

void writeGenerated(const QString& path, int count, const std::function<QString(int)>& name,
                    const std::function<QByteArray(int)>& content)
{
    zip_t* archive = create(path);
    for (int i = 0; i < count; ++i) {
        auto* state = new Generated{{}, [content, i] { return content(i); }};
        zip_source_t* source = zip_source_function(archive, generatedCallback, state);
        const zip_int64_t index = zip_file_add(archive, name(i).toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(source);
            fail(archive, "add");
        }
        zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), i % 2 ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
        zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX, 0100644u << 16);
    }
    close(archive);
}

}  // namespace zipmaker
