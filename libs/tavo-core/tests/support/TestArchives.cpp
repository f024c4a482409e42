#include "support/TestArchives.h"

#include <sys/resource.h>

#include <filesystem>
#include <stdexcept>

#include "support/TempDir.h"
#include "support/TestPki.h"

namespace tavo::test {
namespace {

namespace fs = std::filesystem;

void writeTree(const TempDir& dir, const std::vector<ArchiveFile>& files) {
    for (const ArchiveFile& f : files) {
        fs::path p = dir.path() / "tree" / f.name;
        fs::create_directories(p.parent_path());
        writeFile(p, f.bytes);
    }
}

}  // namespace

std::string makeZip(const std::vector<ArchiveFile>& files) {
    TempDir dir("tavo-zip");
    writeTree(dir, files);
    const std::string out = (dir.path() / "out.zip").string();
    // One zip call per file keeps the caller's order and method per entry.
    for (const ArchiveFile& f : files) {
        mustRun("cd " + shellQuote((dir.path() / "tree").string()) + " && zip -q -X -Z " + f.method + " " +
                shellQuote(out) + " " + shellQuote(f.name));
    }
    return readFile(out);
}

std::string makeJar(const std::vector<ArchiveFile>& files) {
    TempDir dir("tavo-jar");
    writeTree(dir, files);
    std::string names;
    for (const ArchiveFile& f : files) names += " " + shellQuote(f.name);
    const std::string out = (dir.path() / "out.jar").string();
    mustRun("cd " + shellQuote((dir.path() / "tree").string()) + " && jar cf " + shellQuote(out) + names);
    return readFile(out);
}

std::string makeZeroBomb(const std::string& name, std::uint64_t size) {
    TempDir dir("tavo-bomb");
    fs::path p = dir.path() / "tree" / name;
    fs::create_directories(p.parent_path());
    writeFile(p, "");
    fs::resize_file(p, size);
    const std::string out = (dir.path() / "bomb.zip").string();
    mustRun("cd " + shellQuote((dir.path() / "tree").string()) + " && zip -q -X -9 " + shellQuote(out) + " " +
            shellQuote(name));
    return readFile(out);
}

void put16(std::string& bytes, std::size_t offset, std::uint16_t value) {
    if (offset + 2 > bytes.size()) throw std::out_of_range("put16");
    bytes[offset] = static_cast<char>(value & 0xff);
    bytes[offset + 1] = static_cast<char>(value >> 8);
}

void put32(std::string& bytes, std::size_t offset, std::uint32_t value) {
    if (offset + 4 > bytes.size()) throw std::out_of_range("put32");
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

std::uint32_t get32(const std::string& bytes, std::size_t offset) {
    if (offset + 4 > bytes.size()) throw std::out_of_range("get32");
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return v;
}

std::string repeatDirectoryEntry(const std::string& zip, const std::vector<std::uint32_t>& crcs) {
    if (zip.size() < 22 || get32(zip, zip.size() - 22) != 0x06054b50) throw std::runtime_error("no end record");
    std::string end = zip.substr(zip.size() - 22);
    const std::uint32_t dirSize = get32(end, 12);
    const std::uint32_t dirOffset = get32(end, 16);
    const std::string header = zip.substr(dirOffset, dirSize);
    std::string out = zip.substr(0, dirOffset);
    for (std::uint32_t crc : crcs) {
        std::string copy = header;
        put32(copy, 16, crc);
        out += copy;
    }
    put16(end, 8, static_cast<std::uint16_t>(crcs.size()));
    put16(end, 10, static_cast<std::uint16_t>(crcs.size()));
    put32(end, 12, static_cast<std::uint32_t>(dirSize * crcs.size()));
    return out + end;
}

std::size_t centralDirectoryOffset(const std::string& zip) {
    // The archives of the tests carry no comment: the end record is the last 22 bytes.
    if (zip.size() < 22 || get32(zip, zip.size() - 22) != 0x06054b50) throw std::runtime_error("no end record");
    return get32(zip, zip.size() - 22 + 16);
}

std::uint64_t peakRssBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // Linux reports KiB
}

}  // namespace tavo::test
