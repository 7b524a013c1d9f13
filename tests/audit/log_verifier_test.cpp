// The receipt log's verifier on a small log that rotates keys: cut at every
// byte, it reads as a crash (unfinished, torn where the cut falls inside a
// line) and never as a failure, with exactly the sealed lines vouched for;
// and a segment under a key not given is reported as such.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kestrel_boundary.h"
#include "kestrel_log.h"

namespace {

const std::uint8_t kFirstKey[KESTREL_KEY_LEN] = {1, 2, 3};
const std::uint8_t kSecondKey[KESTREL_KEY_LEN] = {4, 5, 6};

struct Check {
    KestrelLogSummary summary{};
    std::vector<std::int32_t> findings;  // kinds, in order
};

int note(void* context, const KestrelLogFinding* finding) {
    static_cast<Check*>(context)->findings.push_back(finding->kind);
    return 0;
}

Check check(const std::string& log, std::vector<const std::uint8_t*> keys) {
    static KestrelLogVerifier verifier;
    Check out;
    EXPECT_EQ(kestrel_log_verifier_init(&verifier, keys[0]), KESTREL_OK);
    for (std::size_t i = 1; i < keys.size(); ++i)
        EXPECT_EQ(kestrel_log_verifier_add_key(&verifier, keys[i]), KESTREL_OK);
    EXPECT_EQ(
        kestrel_log_verifier_feed(&verifier, reinterpret_cast<const std::uint8_t*>(log.data()), log.size(), note, &out),
        KESTREL_OK);
    EXPECT_EQ(kestrel_log_verifier_finish(&verifier, note, &out, &out.summary), KESTREL_OK);
    return out;
}

// Records and a refusal under the first key, a checkpoint, a rotation, more
// records under the second key, the final seal. `seals` gets the 1-based
// line number of each seal line.
std::string rotated_log(std::vector<std::uint64_t>& seals) {
    static KestrelLogWriter writer;
    KestrelError error = KESTREL_OK;
    KestrelBoundary* boundary = kestrel_boundary_new(kFirstKey, 1000000, 4.0, &error);
    EXPECT_EQ(error, KESTREL_OK);
    EXPECT_EQ(kestrel_log_writer_init(&writer, kFirstKey), KESTREL_OK);
    std::string log;
    std::uint64_t lines = 0;
    char line[KESTREL_LOG_LINE_MAX];
    std::size_t length = 0;
    const auto take = [&](KestrelError formed, bool seal) {
        EXPECT_EQ(formed, KESTREL_OK);
        log.append(line, length);
        ++lines;
        if (seal) seals.push_back(lines);
    };
    const auto act = [&](std::int32_t axis, double position) {
        std::uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN];
        EXPECT_EQ(kestrel_boundary_authorize(boundary, axis, position, 0.5, receipt), KESTREL_OK);
        take(kestrel_log_writer_record(&writer, axis, position, 0.5, receipt, line, &length), false);
    };
    act(0, 0.25);
    act(1, -1.5);
    take(kestrel_log_writer_refusal(&writer, KESTREL_ERROR_VELOCITY_EXCEEDED, 2, 0.0, 9.0, 1700000000000000000, line,
                                    &length),
         false);
    take(kestrel_log_writer_seal(&writer, 0, line, &length), true);
    act(2, 3.0);
    take(kestrel_log_writer_rekey(&writer, kSecondKey, line, &length), true);
    EXPECT_EQ(kestrel_boundary_rekey(boundary, kSecondKey), KESTREL_OK);
    act(3, 0.125);
    act(0, 1e-9);
    take(kestrel_log_writer_seal(&writer, 1, line, &length), true);
    EXPECT_EQ(kestrel_log_writer_wipe(&writer), KESTREL_OK);
    kestrel_boundary_free(boundary);
    return log;
}

TEST(LogVerifier, EveryCutOfARotatedLogReadsAsACrash) {
    std::vector<std::uint64_t> seals;
    const std::string log = rotated_log(seals);
    for (std::size_t cut = 0; cut <= log.size(); ++cut) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " of " + std::to_string(log.size()) + " bytes");
        const std::string kept = log.substr(0, cut);
        const Check c = check(kept, {kSecondKey, kFirstKey});
        std::uint64_t whole_lines = 0;  // lines kept with their newline
        for (const char byte : kept) whole_lines += byte == '\n';
        const bool torn = cut != 0 && kept.back() != '\n';
        std::uint64_t sealed = 0;
        for (const std::uint64_t seal : seals) sealed = seal <= whole_lines ? seal : sealed;
        EXPECT_EQ(c.findings, torn ? std::vector<std::int32_t>{KESTREL_LOG_TORN} : std::vector<std::int32_t>{});
        EXPECT_EQ(c.summary.torn_line, torn ? whole_lines + 1 : 0);
        EXPECT_EQ(c.summary.sealed_through, sealed);
        EXPECT_EQ(c.summary.verdict, KESTREL_LOG_OK);
        EXPECT_EQ(c.summary.strict_verdict, cut == log.size() ? KESTREL_LOG_OK : KESTREL_LOG_UNFINISHED);
    }
}

TEST(LogVerifier, ASegmentUnderAKeyNotGivenIsUncheckedNotFailed) {
    std::vector<std::uint64_t> seals;
    const std::string log = rotated_log(seals);  // rotation at line 6, of 9
    const std::uint8_t other[KESTREL_KEY_LEN] = {7};
    const struct {
        const char* name;
        std::vector<const std::uint8_t*> keys;
        std::vector<std::int32_t> findings;
        std::uint64_t unchecked, first_unchecked_line;
        std::int32_t verdict;
    } cases[] = {
        {"both", {kFirstKey, kSecondKey}, {}, 0, 0, KESTREL_LOG_OK},
        {"without the second", {kFirstKey, other}, {KESTREL_LOG_UNKNOWN_KEY}, 3, 7, KESTREL_LOG_UNCHECKED},
        {"without the first", {other, kSecondKey}, {KESTREL_LOG_UNKNOWN_KEY}, 5, 1, KESTREL_LOG_UNCHECKED},
        // With one key, a log under another fails: the key is wrong, or the lines were forged. The rotation,
        // failed as it is, is followed, so the lines after it are checked.
        {"the second alone",
         {kSecondKey},
         {KESTREL_LOG_REFUSED, KESTREL_LOG_REFUSED, KESTREL_LOG_BAD_SEAL, KESTREL_LOG_REFUSED, KESTREL_LOG_BAD_SEAL,
          KESTREL_LOG_GAP},
         0,
         0,
         KESTREL_LOG_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Check got = check(log, c.keys);
        EXPECT_EQ(got.findings, c.findings);
        EXPECT_EQ(got.summary.unchecked, c.unchecked);
        EXPECT_EQ(got.summary.first_unchecked_line, c.first_unchecked_line);
        EXPECT_EQ(got.summary.verdict, c.verdict);
        EXPECT_EQ(got.summary.strict_verdict, c.verdict);
    }
}

}  // namespace
