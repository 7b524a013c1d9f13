// Fuzz target for the receipt log's verifier (kestrel_log.h).
//
// Byte 0 chooses the program. Even: the rest of the input is a log, checked
// once whole and once fed in pieces whose sizes the input's last bytes choose;
// both must report the same findings and the same summary, and the summary
// must count one line per newline plus a last unterminated one. Odd: an
// honest log of refusal lines, checkpoints and rotations between two keys is
// written from the input, then edited once (a byte changed, removed or
// inserted, or the log cut); the honest log must pass the strict check and
// no edit may (the seals are taken to be unforgeable), and a cut, a crash's
// edit, must read as unfinished and never as failed.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrel_log.h"

#include "fuzz_reader.hpp"

namespace {

const std::uint8_t kKey[KESTREL_KEY_LEN] = {7, 1, 2, 3};
const std::uint8_t kNextKey[KESTREL_KEY_LEN] = {9, 8, 7};

struct Run {
    std::vector<std::pair<std::uint64_t, std::int32_t>> findings;
    KestrelLogSummary summary{};
};

int note(void* context, const KestrelLogFinding* finding) {
    static_cast<Run*>(context)->findings.emplace_back(finding->line, finding->kind);
    return 0;
}

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz_log_verifier: %s\n", what);
        std::abort();
    }
}

// check feeds `log` in pieces of the sizes `pieces` cycles through (0: all at once).
Run check(const std::string& log, const std::vector<std::size_t>& pieces) {
    static KestrelLogVerifier verifier;
    Run run;
    require(kestrel_log_verifier_init(&verifier, kKey) == KESTREL_OK, "init");
    require(kestrel_log_verifier_add_key(&verifier, kNextKey) == KESTREL_OK, "add_key");
    std::size_t at = 0;
    for (std::size_t i = 0; at < log.size(); ++i) {
        const std::size_t piece = pieces.empty() ? log.size() : std::min(pieces[i % pieces.size()], log.size() - at);
        require(kestrel_log_verifier_feed(&verifier, reinterpret_cast<const std::uint8_t*>(log.data()) + at, piece,
                                          note, &run) == KESTREL_OK,
                "feed");
        at += piece;
    }
    require(kestrel_log_verifier_finish(&verifier, note, &run, &run.summary) == KESTREL_OK, "finish");
    require(kestrel_log_verifier_feed(&verifier, nullptr, 0, note, &run) == KESTREL_ERROR_LOG_CLOSED, "closed");
    return run;
}

void raw_log(FuzzReader& in, const std::uint8_t* data, std::size_t size) {
    const std::size_t split = std::min<std::size_t>(size, in.byte() % 8);
    const std::string log(reinterpret_cast<const char*>(data) + 2, size > 2 + split ? size - 2 - split : 0);
    std::vector<std::size_t> pieces;
    for (std::size_t i = size - split; i < size; ++i) pieces.push_back(1 + data[i] % 200);
    const Run whole = check(log, {});
    const Run split_run = check(log, pieces.empty() ? std::vector<std::size_t>{1} : pieces);
    require(whole.findings == split_run.findings, "findings depend on how the log is fed");
    require(std::memcmp(&whole.summary, &split_run.summary, sizeof whole.summary) == 0,
            "summary depends on how the log is fed");
    const auto newlines = static_cast<std::uint64_t>(std::count(log.begin(), log.end(), '\n'));
    require(whole.summary.lines == newlines + (!log.empty() && log.back() != '\n'), "line count");
}

void edited_log(FuzzReader& in) {
    static KestrelLogWriter writer;
    require(kestrel_log_writer_init(&writer, kKey) == KESTREL_OK, "writer init");
    std::string log;
    char line[KESTREL_LOG_LINE_MAX];
    std::size_t length = 0;
    const int lines = 1 + in.byte() % 12;
    const int every = 1 + in.byte() % 4;
    for (int i = 0; i < lines; ++i) {
        const KestrelError kind = in.byte() % 2 == 0 ? KESTREL_ERROR_VELOCITY_EXCEEDED : KESTREL_ERROR_RATE_LIMITED;
        require(kestrel_log_writer_refusal(&writer, kind, in.value<std::int32_t>(), in.value<double>(),
                                           in.value<double>(), in.value<std::uint64_t>(), line, &length) == KESTREL_OK,
                "refusal");
        log.append(line, length);
        if (i % every == every - 1) {
            require(kestrel_log_writer_seal(&writer, 0, line, &length) == KESTREL_OK, "checkpoint");
            log.append(line, length);
        }
        if (in.byte() % 4 == 0) {
            require(kestrel_log_writer_rekey(&writer, i % 2 == 0 ? kNextKey : kKey, line, &length) == KESTREL_OK,
                    "rekey");
            log.append(line, length);
        }
    }
    require(kestrel_log_writer_seal(&writer, 1, line, &length) == KESTREL_OK, "final seal");
    log.append(line, length);
    const Run honest = check(log, {});
    require(honest.summary.strict_verdict == KESTREL_LOG_OK && honest.findings.empty(), "an honest log fails");
    require(honest.summary.refusals[KESTREL_ERROR_VELOCITY_EXCEEDED] +
                    honest.summary.refusals[KESTREL_ERROR_RATE_LIMITED] ==
                static_cast<std::uint64_t>(lines),
            "refusals miscounted");
    std::string edited = log;
    const std::size_t at = in.value<std::uint16_t>() % log.size();
    const int edit = in.byte() % 4;
    switch (edit) {
        case 0:
            edited[at] = static_cast<char>(edited[at] ^ (1 + in.byte() % 255));
            break;
        case 1:
            edited.erase(at, 1);
            break;
        case 2:
            edited.insert(at, 1, static_cast<char>(in.byte()));
            break;
        default:
            edited.resize(at);
            break;
    }
    if (edited != log) {
        const KestrelLogSummary summary = check(edited, {}).summary;
        require(summary.strict_verdict != KESTREL_LOG_OK, "an edited log passes");
        if (edit == 3) {
            require(summary.verdict == KESTREL_LOG_OK && summary.strict_verdict == KESTREL_LOG_UNFINISHED,
                    "a log cut short reads as more than unfinished");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzReader in(data, size);
    if (in.byte() % 2 == 0) {
        raw_log(in, data, size);
    } else {
        edited_log(in);
    }
    return 0;
}
