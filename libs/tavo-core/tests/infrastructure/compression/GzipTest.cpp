#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "infrastructure/compression/Gzip.h"
#include "support/TempDir.h"

namespace gz = tavo::core::infra::compression;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes bytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// zlib's own level-9 gzip stream with the header bytes that vary zeroed.
Bytes zlibReference(const Bytes& in) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&zs, in.size()) + 16);
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    for (size_t i = 4; i < 10; ++i) out[i] = 0;
    return out;
}

Bytes inflateGzip(const Bytes& member) {
    z_stream zs{};
    EXPECT_EQ(inflateInit2(&zs, 16 + MAX_WBITS), Z_OK);
    Bytes out;
    unsigned char buf[65536];
    zs.next_in = const_cast<Bytef*>(member.data());
    zs.avail_in = static_cast<uInt>(member.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = buf;
        zs.avail_out = sizeof buf;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - zs.avail_out));
    }
    EXPECT_EQ(rc, Z_STREAM_END);
    EXPECT_EQ(zs.avail_in, 0u);
    inflateEnd(&zs);
    return out;
}

struct Input {
    std::string name;
    Bytes bytes;
};

std::vector<Input> inputs() {
    std::mt19937 rng(1107);
    Bytes random(300000);
    for (auto& b : random) b = static_cast<uint8_t>(rng());
    std::string declaration;
    // Windows-1251 text ("Декларация" and digits), the portal's usual upload.
    while (declaration.size() < 200000)
        declaration += "\xc4\xe5\xea\xeb\xe0\xf0\xe0\xf6\xe8\xff;" + std::to_string(rng() % 100000) + ";\r\n";
    return {{"empty", {}},
            {"one byte", {'a'}},
            {"text", bytesOf("<?xml version=\"1.0\"?><dec>1</dec>")},
            {"zeros", Bytes(100000, 0)},
            {"random", random},
            {"cp1251", bytesOf(declaration)}};
}

}  // namespace

TEST(Gzip, EqualsZlibLevelNineWithZeroedHeader) {
    for (const Input& in : inputs()) {
        SCOPED_TRACE(in.name);
        Bytes out = gz::gzipDeterministic(in.bytes.data(), in.bytes.size());
        ASSERT_GE(out.size(), 18u);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 10), (Bytes{0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(out, zlibReference(in.bytes));
        EXPECT_EQ(out, gz::gzipDeterministic(in.bytes.data(), in.bytes.size()));
    }
}

TEST(Gzip, GzipToolGivesTheInputBack) {
    tavo::test::TempDir dir;
    for (const Input& in : inputs()) {
        SCOPED_TRACE(in.name);
        Bytes out = gz::gzipDeterministic(in.bytes.data(), in.bytes.size());
        tavo::test::writeFile(dir / "in.gz", std::string(out.begin(), out.end()));
        std::string back;
        ASSERT_EQ(tavo::test::runCommand("gzip -dc '" + (dir / "in.gz").string() + "'", &back, false), 0);
        EXPECT_EQ(bytesOf(back), in.bytes);
    }
}

TEST(Gzip, EmptyInputIsATwentyByteMember) {
    Bytes out = gz::gzipDeterministic(nullptr, 0);
    // Header, an empty final block (03 00), CRC-32 0 and length 0.
    EXPECT_EQ(out, (Bytes{0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0, 0, 0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(inflateGzip(out).empty());
    unsigned char none = 0;
    EXPECT_EQ(gz::gzipDeterministic(&none, 0), out);
}

TEST(Gzip, MissingBufferFails) {
    EXPECT_TRUE(gz::gzipDeterministic(nullptr, 10).empty());
}

// The path that inputs of 4 GiB or more take, with small pieces.
TEST(Gzip, PiecewiseFeedingGivesTheSameMember) {
    for (const Input& in : inputs()) {
        const Bytes whole = gz::gzipDeterministic(in.bytes.data(), in.bytes.size());
        for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, size_t{65536}}) {
            SCOPED_TRACE(in.name + " in pieces of " + std::to_string(piece));
            if (piece == 1 && in.bytes.size() > 100000) continue;  // one byte per call: slow, adds nothing
            Bytes out = gz::detail::gzipInPieces(in.bytes.data(), in.bytes.size(), piece);
            EXPECT_EQ(out, whole);
            EXPECT_EQ(inflateGzip(out), in.bytes);
        }
    }
}
