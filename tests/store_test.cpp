// The pieces of the results store the run relies on: the SHA-256 that keys
// an evaluation's files, and where an evaluation's time on the series axis
// comes from.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "core/sha256.h"
#include "run/store_rows.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// The examples of FIPS 180-2, appendix B, and the empty message.
TEST(Sha256, PublishedDigestsWholeAndInPieces) {
    const struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message.substr(0, 20));
        EXPECT_EQ(sha256_hex(c.message), c.digest);
        // Fed in pieces that straddle the 64-byte blocks and the padding.
        for (const size_t piece : {size_t{1}, size_t{55}, size_t{63}, size_t{65}}) {
            Sha256 hash;
            for (size_t at = 0; at < c.message.size(); at += piece) hash.add(c.message.substr(at, piece));
            EXPECT_EQ(hash.hex_digest(), c.digest) << "pieces of " << piece;
        }
    }
}

// 2014-01-12T15:12:28 as seconds since 1970: 16082 days and 54748 s.
constexpr int64_t kStated = 16082 * 86400LL + 54748;

TEST(StoreTimes, OneSourcePerEvaluationNeverMixed) {
    const test_support::ScratchDir dir;
    // Every file modified at 1,000,000,000 s after 1970 (UTC).
    const auto file = [&dir](const char* name) {
        dir.write(name, "x");
        const std::string path = (dir.path() / name).string();
        fs::last_write_time(path, std::chrono::file_clock::from_sys(
                                      std::chrono::sys_seconds(std::chrono::seconds(1000000000))));
        return path;
    };
    const int64_t run_start = 2000000000;
    const SumFile stated_utc{file("a.spe"), StartTime{kStated, true}, 600000000};
    const SumFile stated_local{file("b.spe"), StartTime{kStated + 3600, false}, 300000000};
    const SumFile modified{file("native.txt"), std::nullopt, 120500000};  // 120.5 s of real time
    const SumFile missing{(dir.path() / "gone.txt").string(), std::nullopt, 1000000};
    const struct {
        const char* what;
        std::vector<SumFile> files;
        StoreTimes expected;
    } cases[] = {
        {"stated UTC", {stated_utc}, {kStated, kStated + 600, true, kStartFromFile}},
        {"stated local", {stated_local}, {kStated + 3600, kStated + 3900, false, kStartFromFile}},
        // The native file's own time is left out, not mixed in.
        {"stated and native", {modified, stated_utc}, {kStated, kStated + 600, true, kStartFromFile}},
        // Whole seconds of real time before the modification.
        {"native", {modified}, {1000000000 - 120, 1000000000, true, kStartFromModified}},
        // UTC and local cannot be ordered: the modification times are one clock.
        {"mixed clocks", {modified, stated_utc, stated_local}, {1000000000 - 600, 1000000000, true, kStartFromModified}},
        {"no time to be had", {modified, missing}, {run_start, run_start, true, kStartFromRun}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SpectrumSum sum;
        sum.files = c.files;
        const StoreTimes times = store_times(sum, run_start);
        EXPECT_EQ(times.start_seconds, c.expected.start_seconds);
        EXPECT_EQ(times.end_seconds, c.expected.end_seconds);
        EXPECT_EQ(times.utc, c.expected.utc);
        EXPECT_STREQ(times.source, c.expected.source);
    }
}

}  // namespace
