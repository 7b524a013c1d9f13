// Constant-time validation under valgrind's memcheck.
//
// Nonces are public, so only the tag comparison and the tag computation are
// checked here. The secret inputs (tags, the key) are marked undefined with
// VALGRIND_MAKE_MEM_UNDEFINED; memcheck then reports every conditional branch
// and every memory index that depends on them, which is exactly a timing
// leak. Results are marked defined again before this program looks at them,
// so the only branch allowed on secret data is the caller's on the final
// answer.
//
// Run directly, the program re-executes itself under
//   valgrind --error-exitcode=1 --track-origins=yes -q
// and exits 77 (skipped) where valgrind is not installed. With the argument
// "early-exit" it runs a byte-by-byte comparison that stops at the first
// difference instead, which memcheck must flag (the test of this test).
#include <unistd.h>
#include <valgrind/memcheck.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "receipts/replay_gate.hpp"
#include "receipts/constant_time.hpp"
#include "receipts/hmac.hpp"
#include "security_testing.hpp"

namespace {

constexpr int kSkip = 77;
int g_failures = 0;

template <typename T>
void make_secret(T& value) {
    VALGRIND_MAKE_MEM_UNDEFINED(&value, sizeof value);
}

template <typename T>
void declassify(T& value) {
    VALGRIND_MAKE_MEM_DEFINED(&value, sizeof value);
}

void expect(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "wrong answer: %s\n", what);
        ++g_failures;
    }
}

// The comparison a careless implementation would write; used only to show
// that memcheck catches it.
template <std::size_t N>
bool early_exit_equal(const std::array<std::uint8_t, N>& a, const std::array<std::uint8_t, N>& b) {
    for (std::size_t i = 0; i < N; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// Compares a with copies of itself that are equal, differ in the first
// byte, in the last byte and in every byte, with both sides secret.
template <std::size_t N, typename Equal>
void check_comparison(const char* name, Equal equal) {
    std::array<std::uint8_t, N> a;
    for (std::size_t i = 0; i < N; ++i) a[i] = static_cast<std::uint8_t>(0x31 * i + 7);
    struct Case {
        const char* what;
        std::size_t first, last;  // bytes [first, last) differ
        bool equal;
    };
    const Case cases[] = {{"equal", 0, 0, true},
                          {"first byte differs", 0, 1, false},
                          {"last byte differs", N - 1, N, false},
                          {"every byte differs", 0, N, false}};
    for (const Case& c : cases) {
        std::array<std::uint8_t, N> x = a;
        std::array<std::uint8_t, N> y = a;
        for (std::size_t i = c.first; i < c.last; ++i) y[i] ^= 0x80;
        make_secret(x);
        make_secret(y);
        bool result = equal(x, y);
        declassify(result);
        char what[96];
        std::snprintf(what, sizeof what, "%s, %s", name, c.what);
        expect(result == c.equal, what);
    }
}

// The tag of a fixed action, computed from a secret key the two ways
// production does (authorize, as a receipt's verification does, and an
// replay gate's issue_receipt from its primed key), against the tag from a
// public copy of the same key.
void check_tag_computation() {
    const kestrel::Key key = kestrel::testing::test_key(7);
    const kestrel::Nonce nonce = kestrel::testing::test_nonce(1);
    const auto action = kestrel::testing::bytes_of("axis_3");
    const std::uint64_t timestamp = kestrel::testing::kTestTimestamp;
    const kestrel::Payload& payload = kestrel::testing::kTestPayload;

    kestrel::Receipt expected;
    expect(kestrel::sign_receipt(key, nonce, timestamp, 42, action, payload, expected) == KESTREL_OK,
           "authorize with a public key");

    kestrel::Key secret_key = key;
    make_secret(secret_key);
    kestrel::Receipt receipt;
    KestrelError error = kestrel::sign_receipt(secret_key, nonce, timestamp, 42, action, payload, receipt);
    declassify(receipt);
    expect(error == KESTREL_OK, "authorize with a secret key");
    expect(receipt.tag == expected.tag, "the same tag from a secret key");

    const kestrel::ReplayGate gate(secret_key);
    error = gate.issue_receipt(nonce, timestamp, 42, action, payload, receipt);
    declassify(receipt);
    expect(error == KESTREL_OK, "issue_receipt with a secret key");
    expect(receipt.tag == expected.tag, "the same tag from a replay gate with a secret key");
}

// Re-executes this program under memcheck. Returns only on failure to start.
int run_under_valgrind(char** argv) {
    static char valgrind[] = "valgrind";
    static char error_exit[] = "--error-exitcode=1";
    static char origins[] = "--track-origins=yes";
    static char quiet[] = "-q";
    char* args[] = {valgrind, error_exit, origins, quiet, argv[0], argv[1], nullptr};
    execvp(valgrind, args);
    if (errno == ENOENT) {
        std::printf("valgrind not found: skipped\n");
        return kSkip;
    }
    std::perror("exec valgrind");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [early-exit]\n", argv[0]);
        return 2;
    }
    if (!RUNNING_ON_VALGRIND) return run_under_valgrind(argv);

    if (argc == 2 && std::string_view(argv[1]) == "early-exit") {
        check_comparison<kestrel::TAG_LEN>("early-exit tag comparison", early_exit_equal<kestrel::TAG_LEN>);
    } else {
        check_comparison<kestrel::TAG_LEN>("tag comparison", [](const kestrel::Tag& a, const kestrel::Tag& b) {
            return kestrel::constant_time_equal(a, b);
        });
        check_tag_computation();
    }
    return g_failures == 0 ? 0 : 1;
}
