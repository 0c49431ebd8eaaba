// Packs a folder (the program, its libraries and plug-ins) behind the launcher into one
// executable file, in the layout of bundle_format.h:
//   vrn-bundle [--level N] <launcher> <folder> <output>
// The output is written beside its place and renamed into it when complete.
extern "C" {
#include "bundle_format.h"
}

#include <openssl/evp.h>
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <vector>
#include <fcntl.h>

namespace fs = std::filesystem;

namespace {

struct Entry {
    std::string path;  // relative, with "/"
    uint32_t mode = 0;
    uint64_t size = 0;
};

template <typename T>
void appendNumber(std::string& out, T value)
{
    for (size_t i = 0; i < sizeof(T); ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::vector<Entry> listFolder(const fs::path& folder)
{
    std::vector<Entry> entries;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        if (item.is_directory() && !item.is_symlink())
            continue;
        if (!item.is_regular_file() || item.is_symlink())
            throw std::runtime_error("not a regular file: " + item.path().string());
        struct stat info {};
        if (::stat(item.path().c_str(), &info) != 0)
            throw std::runtime_error("cannot read " + item.path().string());
        entries.push_back({fs::relative(item.path(), folder).generic_string(), static_cast<uint32_t>(info.st_mode & 0777),
                           static_cast<uint64_t>(info.st_size)});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.path < b.path; });
    return entries;
}

std::string serialiseIndex(const std::vector<Entry>& entries)
{
    std::string index;
    for (const Entry& entry : entries) {
        appendNumber<uint32_t>(index, entry.mode);
        appendNumber<uint64_t>(index, entry.size);
        appendNumber<uint16_t>(index, static_cast<uint16_t>(entry.path.size()));
        index += entry.path;
    }
    return index;
}

std::string readWhole(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One zstd frame with a checksum over every entry's bytes in index order.
std::string compress(const fs::path& folder, const std::vector<Entry>& entries, uint64_t total, int level)
{
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers, 2);
    ZSTD_CCtx_setPledgedSrcSize(context.get(), total);
    std::string out;
    std::string buffer(ZSTD_CStreamOutSize(), '\0');
    auto feed = [&](const std::string& data, ZSTD_EndDirective mode) {
        ZSTD_inBuffer in{data.data(), data.size(), 0};
        for (;;) {
            ZSTD_outBuffer chunk{buffer.data(), buffer.size(), 0};
            const size_t left = ZSTD_compressStream2(context.get(), &chunk, &in, mode);
            if (ZSTD_isError(left))
                throw std::runtime_error(std::string("compression failed: ") + ZSTD_getErrorName(left));
            out.append(buffer.data(), chunk.pos);
            if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size)
                return;
        }
    };
    for (const Entry& entry : entries)
        feed(readWhole(folder / entry.path), ZSTD_e_continue);
    feed(std::string(), ZSTD_e_end);
    return out;
}

std::string sha256Hex(const std::string& a, const std::string& b)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) || !EVP_DigestUpdate(context.get(), a.data(), a.size())
        || !EVP_DigestUpdate(context.get(), b.data(), b.size()) || !EVP_DigestFinal_ex(context.get(), digest, &length))
        throw std::runtime_error("hashing failed");
    std::string hex;
    for (unsigned i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

// The launcher must end where its ELF image ends, or it would not find what follows it.
std::string readLauncher(const fs::path& launcher)
{
    const int fd = ::open(launcher.c_str(), O_RDONLY | O_CLOEXEC);
    const uint64_t end = fd >= 0 ? bundle_elf_end(fd) : 0;
    if (fd >= 0)
        ::close(fd);
    const std::string bytes = readWhole(launcher);
    if (end != bytes.size())
        throw std::runtime_error("the launcher " + launcher.string() + " has bytes after its ELF image");
    return bytes;
}

void pack(const fs::path& launcher, const fs::path& folder, const fs::path& output, int level)
{
    const std::vector<Entry> entries = listFolder(folder);
    uint64_t total = 0;
    for (const Entry& entry : entries)
        total += entry.size;
    const std::string index = serialiseIndex(entries);
    const std::string payload = compress(folder, entries, total, level);
    std::string header(BUNDLE_MAGIC, 8);
    appendNumber<uint32_t>(header, BUNDLE_VERSION);
    appendNumber<uint32_t>(header, static_cast<uint32_t>(entries.size()));
    appendNumber<uint64_t>(header, index.size());
    appendNumber<uint64_t>(header, payload.size());
    appendNumber<uint64_t>(header, total);
    header += sha256Hex(index, payload);

    const fs::path partial = output.string() + ".part";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << readLauncher(launcher) << header << index << payload;
        if (!out.flush())
            throw std::runtime_error("cannot write " + partial.string());
    }
    fs::permissions(partial, fs::perms(0755));
    fs::rename(partial, output);
    std::cout << output.string() << ": " << entries.size() << " files, " << total << " bytes packed into "
              << payload.size() << "\n";
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    int level = 19;
    if (arguments.size() >= 2 && arguments[0] == "--level") {
        level = std::stoi(arguments[1]);
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    if (arguments.size() != 3) {
        std::cerr << "usage: vrn-bundle [--level N] <launcher> <folder> <output>\n";
        return 2;
    }
    try {
        pack(arguments[0], arguments[1], arguments[2], level);
    } catch (const std::exception& error) {
        std::cerr << "vrn-bundle: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
