#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavo::test {

// One file of a test archive: its path inside the archive, its bytes, and
// the compression the zip tool is told to use ("store", "deflate", "bzip2").
struct ArchiveFile {
    std::string name;
    std::string bytes;
    std::string method = "deflate";
};

// A ZIP archive built by the zip tool, entries in the given order (the same
// name may repeat under different folders). Throws when the tool fails.
std::string makeZip(const std::vector<ArchiveFile>& files);

// A Java archive built by the JDK's jar tool (manifest first, data
// descriptors after each entry). Throws when the tool fails.
std::string makeJar(const std::vector<ArchiveFile>& files);

// A zip-built archive holding one file of zeros of the given size (sparse on
// disk while it is built): a small download that unpacks to a lot.
std::string makeZeroBomb(const std::string& name, std::uint64_t size);

// Little-endian field patching for archives whose headers must lie.
void put16(std::string& bytes, std::size_t offset, std::uint16_t value);
void put32(std::string& bytes, std::size_t offset, std::uint32_t value);
std::uint32_t get32(const std::string& bytes, std::size_t offset);
// Offset of the first central directory header (the end record's field).
std::size_t centralDirectoryOffset(const std::string& zip);

// The archive (one file, no archive comment) with its central directory
// entry repeated once per CRC-32 given, every copy pointing at the same
// data and carrying its own CRC-32.
std::string repeatDirectoryEntry(const std::string& zip, const std::vector<std::uint32_t>& crcs);

// Peak resident set size of this process so far, in bytes.
std::uint64_t peakRssBytes();

// AddressSanitizer keeps freed memory in quarantine and ThreadSanitizer maps
// shadow memory for what is touched, so resident memory then tells nothing
// about what the code holds: memory checks are skipped there, the outcome is
// still checked.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kResidentMemoryIsMeaningful = false;
#else
inline constexpr bool kResidentMemoryIsMeaningful = true;
#endif

}  // namespace tavo::test
