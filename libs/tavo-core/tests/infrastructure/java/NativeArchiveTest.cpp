// The ZIP walk and the extraction of the native library, on archives made by
// the zip and jar tools (patched where a header must lie).
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "infrastructure/java/ZipReader.h"
#include "support/TestArchives.h"

namespace {

namespace formats = tavo::stampit::formats;
using tavo::test::ArchiveFile;
using tavo::test::makeJar;
using tavo::test::makeZip;

constexpr const char* kWanted = "libvatclient.dylib";

// Compressible but not trivial, so deflate really runs.
std::string libraryBytes(size_t size = 200000) {
    std::string s;
    s.reserve(size);
    uint32_t x = 12345;
    while (s.size() < size) {
        x = x * 1103515245u + 12345u;
        s += static_cast<char>((x >> 16) % 16);
        s += "\xcf\xfa\xed\xfe";
    }
    s.resize(size);
    return s;
}

std::span<const uint8_t> bytesOf(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::string extracted(const formats::Extraction& x) {
    return x.library ? std::string(x.library->begin(), x.library->end()) : std::string("<none>");
}

TEST(NativeArchive, UnpacksStoredAndDeflatedEntries) {
    const std::string lib = libraryBytes();
    struct Case {
        const char* name;
        std::string archive;
        uint16_t method;
        std::string expected;
    };
    const Case cases[] = {
        {"zip, stored", makeZip({{"README", "readme", "deflate"}, {"native/libvatclient.dylib", lib, "store"}}), 0,
         lib},
        {"zip, deflated", makeZip({{"README", "readme", "deflate"}, {"native/libvatclient.dylib", lib, "deflate"}}), 8,
         lib},
        {"jar, deflated with data descriptors", makeJar({{"native/libvatclient.dylib", lib}}), 8, lib},
        {"zip, empty library", makeZip({{"libvatclient.dylib", "", "deflate"}}), 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool sawMethod = false;
        for (const auto& e : formats::listZipEntries(bytesOf(c.archive)))
            sawMethod = sawMethod || (e.name.ends_with("libvatclient.dylib") && e.method == c.method);
        EXPECT_TRUE(sawMethod);
        formats::Extraction x = formats::extractEntry(bytesOf(c.archive), kWanted);
        EXPECT_TRUE(x.refused.empty());
        EXPECT_EQ(extracted(x), c.expected);
    }
}

TEST(NativeArchive, NameMatchesByLastComponentOrWholeName) {
    const std::string lib = libraryBytes(5000);
    struct Case {
        const char* entry;
        bool matches;
    };
    const Case cases[] = {
        {"native/LibVATClient.dylib", true},
        {"nativeBLibVATClient.dylib", true},  // patched to a backslash below
        {"LIBVATCLIENT.DYLIB", true},
        {"a/b/c/libvatclient.dylib", true},
        {"native/libvatclient.dylib.sig", false},
        {"native/xlibvatclient.dylib", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        std::string zip = makeZip({{c.entry, lib, "deflate"}});
        std::string name = c.entry;
        if (name == "nativeBLibVATClient.dylib") {
            // Same length, so every offset stays right: local and central names both change.
            for (size_t at = zip.find(name); at != std::string::npos; at = zip.find(name, at + 1)) zip[at + 6] = '\\';
        }
        formats::Extraction x = formats::extractEntry(bytesOf(zip), kWanted);
        EXPECT_EQ(x.library.has_value(), c.matches);
        if (c.matches) {
            EXPECT_EQ(extracted(x), lib);
        }
    }
}

TEST(NativeArchive, UnsupportedMethodBeforeAGoodEntry) {
    const std::string lib = libraryBytes();
    std::string zip = makeZip({{"x86/libvatclient.dylib", "wrong " + lib, "bzip2"},
                               {"arm/libvatclient.dylib", lib, "deflate"},
                               {"late/libvatclient.dylib", "later one", "store"}});
    formats::Extraction x = formats::extractEntry(bytesOf(zip), kWanted);
    ASSERT_EQ(x.refused.size(), 1u);
    EXPECT_EQ(x.refused[0].name, "x86/libvatclient.dylib");
    EXPECT_EQ(x.refused[0].reason, formats::EntryRefusal::UnsupportedMethod);
    EXPECT_EQ(x.refused[0].method, 12);
    EXPECT_EQ(extracted(x), lib);
}

TEST(NativeArchive, FirstOfTwoGoodMatchesWins) {
    std::string zip =
        makeZip({{"a/libvatclient.dylib", "first", "store"}, {"b/libvatclient.dylib", "second", "store"}});
    EXPECT_EQ(extracted(formats::extractEntry(bytesOf(zip), kWanted)), "first");
}

TEST(NativeArchive, EndRecordWithinTheCommentWindow) {
    const std::string lib = libraryBytes(3000);
    const std::string zip = makeZip({{"libvatclient.dylib", lib, "deflate"}});
    std::string withComment = zip;
    tavo::test::put16(withComment, zip.size() - 2, 65535);
    withComment += std::string(65535, 'c');
    EXPECT_EQ(extracted(formats::extractEntry(bytesOf(withComment), kWanted)), lib);

    std::string tooFar = withComment + "x";
    EXPECT_FALSE(formats::extractEntry(bytesOf(tooFar), kWanted).library);
    EXPECT_TRUE(formats::listZipEntries(bytesOf(tooFar)).empty());
}

TEST(NativeArchive, EveryTruncationFails) {
    const std::string lib = libraryBytes(20000);
    for (const char* method : {"store", "deflate"}) {
        const std::string zip = makeZip({{"native/libvatclient.dylib", lib, method}});
        for (size_t n = 0; n < zip.size(); ++n) {
            formats::Extraction x = formats::extractEntry(bytesOf(zip.substr(0, n)), kWanted);
            ASSERT_FALSE(x.library) << method << " cut at " << n;
        }
        // Sanity: the whole archive does unpack.
        EXPECT_EQ(extracted(formats::extractEntry(bytesOf(zip), kWanted)), lib);
    }
}

TEST(NativeArchive, ShortArchiveHasNoEntries) {
    for (size_t n : {0u, 1u, 21u}) {
        std::string junk(n, 'P');
        EXPECT_TRUE(formats::listZipEntries(bytesOf(junk)).empty());
        EXPECT_FALSE(formats::extractEntry(bytesOf(junk), kWanted).library);
    }
}

// Headers that lie: each case patches one field of the central directory
// entry of the library (the only entry) and expects that refusal.
TEST(NativeArchive, LyingHeadersAreRefused) {
    using formats::EntryRefusal;
    const std::string lib = libraryBytes();
    const std::string stored = makeZip({{"libvatclient.dylib", lib, "store"}});
    const std::string deflated = makeZip({{"libvatclient.dylib", lib, "deflate"}});
    const uint32_t libSize = static_cast<uint32_t>(lib.size());
    struct Case {
        const char* name;
        const std::string* archive;
        size_t field;  // offset within the central directory header
        uint32_t value;
        EntryRefusal reason;
    };
    const Case cases[] = {
        {"declared above the limit", &deflated, 24, formats::kMaxLibraryBytes + 1, EntryRefusal::TooLarge},
        {"declared far above the limit", &deflated, 24, 0xffffffffu, EntryRefusal::TooLarge},
        {"declared smaller than the data", &deflated, 24, libSize - 1, EntryRefusal::InflateFailed},
        {"declared zero", &deflated, 24, 0, EntryRefusal::InflateFailed},
        {"declared larger than the data", &deflated, 24, libSize + 1, EntryRefusal::SizeMismatch},
        {"wrong CRC, deflated", &deflated, 16, 0x12345678, EntryRefusal::CrcMismatch},
        {"wrong CRC, stored", &stored, 16, 0x12345678, EntryRefusal::CrcMismatch},
        {"stored sizes differ", &stored, 24, libSize - 1, EntryRefusal::SizeMismatch},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string zip = *c.archive;
        tavo::test::put32(zip, tavo::test::centralDirectoryOffset(zip) + c.field, c.value);
        formats::Extraction x = formats::extractEntry(bytesOf(zip), kWanted);
        EXPECT_FALSE(x.library);
        ASSERT_EQ(x.refused.size(), 1u);
        EXPECT_EQ(x.refused[0].reason, c.reason);
    }
}

TEST(NativeArchive, CorruptDeflateDataIsRefused) {
    const std::string lib = libraryBytes();
    const std::string zip = makeZip({{"libvatclient.dylib", lib, "deflate"}});
    const size_t data = 30 + std::string("libvatclient.dylib").size();  // no extra field with -X
    int refused = 0;
    for (size_t at = data; at < data + 400; at += 7) {
        std::string broken = zip;
        broken[at] = static_cast<char>(broken[at] ^ 0x5a);
        formats::Extraction x = formats::extractEntry(bytesOf(broken), kWanted);
        ASSERT_FALSE(x.library) << "flipped byte " << at;
        refused += !x.refused.empty();
    }
    EXPECT_GT(refused, 0);
}

TEST(NativeArchive, NamePastTheEndStopsTheWalk) {
    std::string zip = makeZip({{"a.txt", "a", "store"}, {"libvatclient.dylib", "lib", "store"}});
    const size_t dir = tavo::test::centralDirectoryOffset(zip);
    // The second header's name length made to run past the archive.
    const size_t second = dir + 46 + 5;
    tavo::test::put16(zip, second + 28, 0xffff);
    auto entries = formats::listZipEntries(bytesOf(zip));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "a.txt");
    EXPECT_FALSE(formats::extractEntry(bytesOf(zip), kWanted).library);
}

TEST(NativeArchive, ListingOfAJar) {
    std::string jar = makeJar({{"native/libvatclient.dylib", libraryBytes(1000)}, {"b.txt", "b"}});
    std::vector<std::string> names;
    for (const auto& e : formats::listZipEntries(bytesOf(jar))) names.push_back(e.name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"META-INF/", "META-INF/MANIFEST.MF", "native/libvatclient.dylib", "b.txt"}));
    EXPECT_STREQ(formats::methodText(0), "STORED");
    EXPECT_STREQ(formats::methodText(8), "DEFLATE");
    EXPECT_STREQ(formats::methodText(12), "?");
}

// Many directory entries pointing at one large blob used to be unpacked one
// after another; the work is now bounded for the whole archive.
TEST(NativeArchive, RepeatedEntriesCostBoundedWork) {
    constexpr uint32_t kBig = formats::kMaxLibraryBytes;
    const std::string bigBlob = tavo::test::makeZeroBomb("native/libvatclient.dylib", kBig);
    const uint32_t bigCrc = tavo::test::get32(bigBlob, tavo::test::centralDirectoryOffset(bigBlob) + 16);
    const std::string smallBlob = tavo::test::makeZeroBomb("native/libvatclient.dylib", 100000);
    const uint32_t smallCrc = tavo::test::get32(smallBlob, tavo::test::centralDirectoryOffset(smallBlob) + 16);
    using R = formats::EntryRefusal;
    struct Case {
        const char* name;
        std::string blob;
        std::vector<uint32_t> crcs;
        std::vector<R> refused;
        size_t repeatsSkipped;
        bool extracts;
    };
    std::vector<uint32_t> allDifferent;
    for (uint32_t i = 1; i <= 512; ++i) allDifferent.push_back(bigCrc + i);
    const Case cases[] = {
        {"512 copies, one wrong CRC", bigBlob, std::vector<uint32_t>(512, bigCrc + 1), {R::CrcMismatch}, 511, false},
        {"each its own wrong CRC", bigBlob, allDifferent, {R::CrcMismatch, R::CrcMismatch, R::BudgetSpent}, 0, false},
        {"a wrong copy, then the right one", smallBlob, {smallCrc + 1, smallCrc}, {R::CrcMismatch}, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string archive = tavo::test::repeatDirectoryEntry(c.blob, c.crcs);
        ASSERT_EQ(formats::listZipEntries(bytesOf(archive)).size(), c.crcs.size());
        const formats::Extraction x = formats::extractEntry(bytesOf(archive), kWanted);
        std::vector<R> reasons;
        for (const auto& r : x.refused) reasons.push_back(r.reason);
        EXPECT_EQ(reasons, c.refused);
        EXPECT_EQ(x.repeatsSkipped, c.repeatsSkipped);
        EXPECT_EQ(x.library.has_value(), c.extracts);
        if (c.extracts) {
            EXPECT_EQ(extracted(x), std::string(100000, '\0'));
        }
    }
}

}  // namespace
