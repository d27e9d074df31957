#include "inventory/md5.h"

#include <cstring>

namespace {

inline uint32_t LoadLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

inline void StoreLe32(uint32_t value, uint8_t* at) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

inline uint32_t Rotl(uint32_t value, int bits) { return value << bits | value >> (32 - bits); }

// The four rounds' auxiliary functions, written for a short dependency chain on b, the value
// the previous step has just produced; their truth tables are RFC 1321's. In G the two terms
// share no bit, so their sum is their OR and c & ~d is ready before b is.
inline uint32_t F(uint32_t b, uint32_t c, uint32_t d) { return d ^ (b & (c ^ d)); }
inline uint32_t G(uint32_t b, uint32_t c, uint32_t d) { return (c & ~d) + (b & d); }
inline uint32_t H(uint32_t b, uint32_t c, uint32_t d) { return b ^ (c ^ d); }
inline uint32_t I(uint32_t b, uint32_t c, uint32_t d) { return c ^ (b | ~d); }

// One of the 64 steps: a = b + ((a + f(b, c, d) + x[k] + T[i]) <<< s), the word and the
// constant added first because they do not wait for the previous step.
inline void Step(uint32_t& a, uint32_t mixed, uint32_t b, uint32_t x, uint32_t t, int s) {
    a = b + Rotl(a + (x + t) + mixed, s);
}

// Hashes `count` whole 64-byte blocks.
void Blocks(uint32_t (&word)[4], const uint8_t* at, size_t count) {
    uint32_t a = word[0];
    uint32_t b = word[1];
    uint32_t c = word[2];
    uint32_t d = word[3];
    for (; count > 0; --count, at += MD5_BLOCK_SIZE) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = LoadLe32(at + 4 * i);
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        Step(a, F(b, c, d), b, x[0], 0xd76aa478, 7);
        Step(d, F(a, b, c), a, x[1], 0xe8c7b756, 12);
        Step(c, F(d, a, b), d, x[2], 0x242070db, 17);
        Step(b, F(c, d, a), c, x[3], 0xc1bdceee, 22);
        Step(a, F(b, c, d), b, x[4], 0xf57c0faf, 7);
        Step(d, F(a, b, c), a, x[5], 0x4787c62a, 12);
        Step(c, F(d, a, b), d, x[6], 0xa8304613, 17);
        Step(b, F(c, d, a), c, x[7], 0xfd469501, 22);
        Step(a, F(b, c, d), b, x[8], 0x698098d8, 7);
        Step(d, F(a, b, c), a, x[9], 0x8b44f7af, 12);
        Step(c, F(d, a, b), d, x[10], 0xffff5bb1, 17);
        Step(b, F(c, d, a), c, x[11], 0x895cd7be, 22);
        Step(a, F(b, c, d), b, x[12], 0x6b901122, 7);
        Step(d, F(a, b, c), a, x[13], 0xfd987193, 12);
        Step(c, F(d, a, b), d, x[14], 0xa679438e, 17);
        Step(b, F(c, d, a), c, x[15], 0x49b40821, 22);

        Step(a, G(b, c, d), b, x[1], 0xf61e2562, 5);
        Step(d, G(a, b, c), a, x[6], 0xc040b340, 9);
        Step(c, G(d, a, b), d, x[11], 0x265e5a51, 14);
        Step(b, G(c, d, a), c, x[0], 0xe9b6c7aa, 20);
        Step(a, G(b, c, d), b, x[5], 0xd62f105d, 5);
        Step(d, G(a, b, c), a, x[10], 0x02441453, 9);
        Step(c, G(d, a, b), d, x[15], 0xd8a1e681, 14);
        Step(b, G(c, d, a), c, x[4], 0xe7d3fbc8, 20);
        Step(a, G(b, c, d), b, x[9], 0x21e1cde6, 5);
        Step(d, G(a, b, c), a, x[14], 0xc33707d6, 9);
        Step(c, G(d, a, b), d, x[3], 0xf4d50d87, 14);
        Step(b, G(c, d, a), c, x[8], 0x455a14ed, 20);
        Step(a, G(b, c, d), b, x[13], 0xa9e3e905, 5);
        Step(d, G(a, b, c), a, x[2], 0xfcefa3f8, 9);
        Step(c, G(d, a, b), d, x[7], 0x676f02d9, 14);
        Step(b, G(c, d, a), c, x[12], 0x8d2a4c8a, 20);

        Step(a, H(b, c, d), b, x[5], 0xfffa3942, 4);
        Step(d, H(a, b, c), a, x[8], 0x8771f681, 11);
        Step(c, H(d, a, b), d, x[11], 0x6d9d6122, 16);
        Step(b, H(c, d, a), c, x[14], 0xfde5380c, 23);
        Step(a, H(b, c, d), b, x[1], 0xa4beea44, 4);
        Step(d, H(a, b, c), a, x[4], 0x4bdecfa9, 11);
        Step(c, H(d, a, b), d, x[7], 0xf6bb4b60, 16);
        Step(b, H(c, d, a), c, x[10], 0xbebfbc70, 23);
        Step(a, H(b, c, d), b, x[13], 0x289b7ec6, 4);
        Step(d, H(a, b, c), a, x[0], 0xeaa127fa, 11);
        Step(c, H(d, a, b), d, x[3], 0xd4ef3085, 16);
        Step(b, H(c, d, a), c, x[6], 0x04881d05, 23);
        Step(a, H(b, c, d), b, x[9], 0xd9d4d039, 4);
        Step(d, H(a, b, c), a, x[12], 0xe6db99e5, 11);
        Step(c, H(d, a, b), d, x[15], 0x1fa27cf8, 16);
        Step(b, H(c, d, a), c, x[2], 0xc4ac5665, 23);

        Step(a, I(b, c, d), b, x[0], 0xf4292244, 6);
        Step(d, I(a, b, c), a, x[7], 0x432aff97, 10);
        Step(c, I(d, a, b), d, x[14], 0xab9423a7, 15);
        Step(b, I(c, d, a), c, x[5], 0xfc93a039, 21);
        Step(a, I(b, c, d), b, x[12], 0x655b59c3, 6);
        Step(d, I(a, b, c), a, x[3], 0x8f0ccc92, 10);
        Step(c, I(d, a, b), d, x[10], 0xffeff47d, 15);
        Step(b, I(c, d, a), c, x[1], 0x85845dd1, 21);
        Step(a, I(b, c, d), b, x[8], 0x6fa87e4f, 6);
        Step(d, I(a, b, c), a, x[15], 0xfe2ce6e0, 10);
        Step(c, I(d, a, b), d, x[6], 0xa3014314, 15);
        Step(b, I(c, d, a), c, x[13], 0x4e0811a1, 21);
        Step(a, I(b, c, d), b, x[4], 0xf7537e82, 6);
        Step(d, I(a, b, c), a, x[11], 0xbd3af235, 10);
        Step(c, I(d, a, b), d, x[2], 0x2ad7d2bb, 15);
        Step(b, I(c, d, a), c, x[9], 0xeb86d391, 21);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    word[0] = a;
    word[1] = b;
    word[2] = c;
    word[3] = d;
}

}  // namespace

void ULVMd5Init(Md5State& md5) {
    md5.word[0] = 0x67452301;
    md5.word[1] = 0xefcdab89;
    md5.word[2] = 0x98badcfe;
    md5.word[3] = 0x10325476;
    md5.length = 0;
    md5.pendingCount = 0;
}

void ULVMd5Update(Md5State& md5, const uint8_t* bytes, size_t count) {
    md5.length += count;
    if (md5.pendingCount > 0) {
        size_t take = MD5_BLOCK_SIZE - md5.pendingCount;
        if (take > count) take = count;
        std::memcpy(md5.pending + md5.pendingCount, bytes, take);
        md5.pendingCount += take;
        bytes += take;
        count -= take;
        if (md5.pendingCount < MD5_BLOCK_SIZE) return;
        Blocks(md5.word, md5.pending, 1);
        md5.pendingCount = 0;
    }
    // Whole blocks straight from the caller's bytes: no copy on the partition's hot path.
    size_t whole = count / MD5_BLOCK_SIZE;
    Blocks(md5.word, bytes, whole);
    bytes += whole * MD5_BLOCK_SIZE;
    count -= whole * MD5_BLOCK_SIZE;
    if (count > 0) std::memcpy(md5.pending, bytes, count);
    md5.pendingCount = count;
}

void ULVMd5Final(Md5State& md5, uint8_t (&digest)[MD5_DIGEST_SIZE]) {
    // 0x80, zeros up to 8 bytes short of a block end, then the length in bits as a
    // little-endian 64-bit number: one more block when fewer than 9 bytes are left.
    const uint64_t bits = md5.length << 3;
    uint8_t tail[2 * MD5_BLOCK_SIZE] = {};
    std::memcpy(tail, md5.pending, md5.pendingCount);
    tail[md5.pendingCount] = 0x80;
    const size_t tailSize = md5.pendingCount < MD5_BLOCK_SIZE - 8 ? MD5_BLOCK_SIZE
                                                                   : 2 * MD5_BLOCK_SIZE;
    StoreLe32(static_cast<uint32_t>(bits), tail + tailSize - 8);
    StoreLe32(static_cast<uint32_t>(bits >> 32), tail + tailSize - 4);
    Blocks(md5.word, tail, tailSize / MD5_BLOCK_SIZE);
    for (int i = 0; i < 4; ++i) StoreLe32(md5.word[i], digest + 4 * i);
}

void ULVMd5Hex(const uint8_t (&digest)[MD5_DIGEST_SIZE], char (&text)[MD5_HEX_SIZE]) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < MD5_DIGEST_SIZE; ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    text[2 * MD5_DIGEST_SIZE] = '\0';
}
