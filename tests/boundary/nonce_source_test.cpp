// NonceSource against the real vDSO and against a stand-in whose calls fail
// in each way a vDSO call can: the draw must still succeed, by the system call.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>

#include "boundary/random_source.hpp"

namespace kestrel {
namespace {

using Nonce = std::array<std::uint8_t, 12>;

ssize_t g_fake_result = 0;  // what the stand-in returns
int g_fake_calls = 0;

// A stand-in for __vdso_getrandom: fills the buffer with 0xAB and returns g_fake_result.
ssize_t fake_vdso(void* buffer, std::size_t len, unsigned int, void*, std::size_t) {
    ++g_fake_calls;
    std::fill_n(static_cast<std::uint8_t*>(buffer), len, std::uint8_t{0xAB});
    return g_fake_result;
}

constexpr VdsoGetrandom kFake{fake_vdso, 256, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS};

bool all_ab(const Nonce& n) {
    return std::all_of(n.begin(), n.end(), [](std::uint8_t b) { return b == 0xAB; });
}

TEST(NonceSource, UsesTheVdsoWhenItDeliversEveryByte) {
    g_fake_result = 12;
    g_fake_calls = 0;
    NonceSource source(&kFake);
    ASSERT_TRUE(source.has_vdso_state());
    Nonce nonce{};
    ASSERT_EQ(source.fill(nonce), 0);
    EXPECT_EQ(g_fake_calls, 1);
    EXPECT_TRUE(all_ab(nonce));
}

class VdsoFailure : public testing::TestWithParam<ssize_t> {};

// A negative errno, nothing, or a short count: the system call redraws all 12 bytes.
TEST_P(VdsoFailure, FallsBackToTheSystemCall) {
    g_fake_result = GetParam();
    g_fake_calls = 0;
    NonceSource source(&kFake);
    Nonce first{};
    Nonce second{};
    ASSERT_EQ(source.fill(first), 0);
    ASSERT_EQ(source.fill(second), 0);
    EXPECT_EQ(g_fake_calls, 2);
    EXPECT_FALSE(all_ab(first) && all_ab(second));
    EXPECT_NE(first, second);
}
INSTANTIATE_TEST_SUITE_P(Results, VdsoFailure, testing::Values(-EFAULT, -ENOSYS, 0, 5, 11));

TEST(NonceSource, WithoutAVdsoUsesTheSystemCall) {
    NonceSource source(nullptr);
    EXPECT_FALSE(source.has_vdso_state());
    Nonce first{};
    Nonce second{};
    ASSERT_EQ(source.fill(first), 0);
    ASSERT_EQ(source.fill(second), 0);
    EXPECT_NE(first, second);
}

// Linux 6.11 and later offer the generator; older kernels skip.
TEST(NonceSource, RealVdsoStatesDrawIndependentStreams) {
    const VdsoGetrandom* vdso = vdso_getrandom();
    if (vdso == nullptr) GTEST_SKIP() << "this kernel's vDSO has no getrandom";
    EXPECT_GT(vdso->state_size, 0u);
    NonceSource a;
    NonceSource b;
    ASSERT_TRUE(a.has_vdso_state());
    ASSERT_TRUE(b.has_vdso_state());
    Nonce na{};
    Nonce nb{};
    Nonce na2{};
    ASSERT_EQ(a.fill(na), 0);
    ASSERT_EQ(b.fill(nb), 0);
    ASSERT_EQ(a.fill(na2), 0);
    EXPECT_NE(na, nb);
    EXPECT_NE(na, na2);
}

TEST(RandomFailureText, NamesTheFailure) {
    EXPECT_STREQ(random_failure_text(kRandomNoBytes), "the random source returned no bytes");
    EXPECT_STREQ(random_failure_text(EACCES), "Permission denied");
}

}  // namespace
}  // namespace kestrel
