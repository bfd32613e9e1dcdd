// Block decoding: run-length codes to coefficients, dequantisation, and the
// fixed-point 8 x 8 inverse transform.
#include <cstring>

#include "dcmp.h"
#include "simd/dcmp_kernels.h"

uint8_t Dcmp_RLD(int16_t* coef, const uint8_t* code, const DcmpContext* ctx)
{
    if (code[1] == 0)
        return 1;
    unsigned kind = (code[0] >> 4) & 3;
    unsigned pos = 1;
    unsigned k = 0;
    while (k < 64 && pos < 128) {
        const uint8_t c = code[pos];
        switch (kind) {
        case 0:  // position
            k = c & 0x3F;
            pos += 1;
            break;
        case 1:  // two small values; a second value past the block is dropped
            coef[k] = ctx->signHi[c];
            if (k + 1 < 64)
                coef[k + 1] = ctx->signLo[c];
            k += 2;
            pos += 1;
            break;
        case 2:  // one value
            coef[k] = ctx->sign6[c];
            k += 1;
            pos += 1;
            break;
        default: {  // one large value: 12 bits, 5 from c and 7 from the next byte
            const unsigned bits = ((c & 0x1Fu) << 7) | (code[pos + 1] & 0x7Fu);
            coef[k] = static_cast<int16_t>(static_cast<int>(bits ^ 0x800u) - 0x800);
            k += 1;
            pos += 2;
            break;
        }
        }
        kind = c >> 6;
        if (code[pos] == 0)
            break;
    }
    return static_cast<uint8_t>(pos);
}

void Dcmp_DeQuant(int16_t* out, const int16_t* coef, const int16_t* quant)
{
    // Products go to a local block first, so that the loop cannot alias out.
    int16_t products[64];
    for (int i = 0; i < 64; i++)
        products[i] = static_cast<int16_t>(coef[i] * quant[i]);  // wrapping 16-bit product
    std::memcpy(out, products, sizeof products);
}

namespace {

// The transform works on rows of eight 16-bit lanes, one operation for all
// lanes at a time. Written as plain loops over the lanes, with saturation
// computed by 16-bit minimum and maximum instead of a clamp on a wider sum,
// so that compilers turn every operation into one short vector sequence.
struct Row {
    int16_t lane[8];
};

inline int16_t Max(int16_t a, int16_t b) { return a > b ? a : b; }
inline int16_t Min(int16_t a, int16_t b) { return a < b ? a : b; }

// Saturating a + b: b is first limited to the range that a leaves,
// -32768 - a..32767 - a, whose ends are computed without leaving 16 bits;
// a b outside it gives exactly the limit.
inline int16_t AddLane(int16_t a, int16_t b)
{
    const int16_t high = static_cast<int16_t>(32767 - Max(a, 0));
    const int16_t low = static_cast<int16_t>(-32768 - Min(a, 0));
    return static_cast<int16_t>(a + Min(Max(b, low), high));
}

// Saturating a - b, likewise: b is limited to a - 32767..a + 32768.
inline int16_t SubLane(int16_t a, int16_t b)
{
    const int16_t low = static_cast<int16_t>(Max(a, -1) - 32767);
    const int16_t high = static_cast<int16_t>(Min(a, -1) + 32768);
    return static_cast<int16_t>(a - Min(Max(b, low), high));
}

inline Row Add(const Row& a, const Row& b)
{
    Row r;
    for (int i = 0; i < 8; i++)
        r.lane[i] = AddLane(a.lane[i], b.lane[i]);
    return r;
}

inline Row Sub(const Row& a, const Row& b)
{
    Row r;
    for (int i = 0; i < 8; i++)
        r.lane[i] = SubLane(a.lane[i], b.lane[i]);
    return r;
}

inline Row AddWrap(const Row& a, const Row& b)
{
    Row r;
    for (int i = 0; i < 8; i++)
        r.lane[i] = static_cast<int16_t>(a.lane[i] + b.lane[i]);
    return r;
}

inline Row SubWrap(const Row& a, const Row& b)
{
    Row r;
    for (int i = 0; i < 8; i++)
        r.lane[i] = static_cast<int16_t>(a.lane[i] - b.lane[i]);
    return r;
}

template <int n>
inline Row Shr(const Row& a)
{
    Row r;
    for (int i = 0; i < 8; i++)
        r.lane[i] = static_cast<int16_t>(a.lane[i] >> n);
    return r;
}

template <int n>
inline Row Shl(const Row& a)
{
    Row r;
    for (int i = 0; i < 8; i++)
        r.lane[i] = static_cast<int16_t>(a.lane[i] * (1 << n));
    return r;
}

// High half of the signed 32-bit product.
inline Row Mul(const Row& a, int16_t k)
{
    Row r;
    for (int i = 0; i < 8; i++)
        r.lane[i] = static_cast<int16_t>((a.lane[i] * k) >> 16);
    return r;
}

constexpr int16_t kC4 = 23170;
constexpr int16_t kC6 = 25080;
constexpr int16_t kC2 = 17734;
constexpr int16_t kC3 = 21407;

// Where an addition or subtraction of the passes below cannot leave the
// 16-bit range it wraps instead of saturating, which gives the same value
// for less work. The bounds: prescaling leaves coefficient (u, v) within
// +-preSC[8u + v] / 2 (every factor is below 32768, so all prescaled values
// lie within -16384..16383), and every following step's range follows from
// its operands' ranges (shifts divide them, the products by kC* scale them by
// below 1/2, a saturating step keeps its result within 16 bits, a left shift
// that might wrap is taken to reach the whole 16-bit range). Each wrapping
// step below has operand ranges whose sum or difference stays within
// -32768..32767 in every lane whose value the transform keeps; the first
// pass's outputs mostly reach the full range, so the second pass saturates
// everywhere but one step (in c12: twice c9 times kC2 is within +-17734 and
// c11 within +-12540).
// First pass, vertical frequencies 0..3; p[u] holds row u of the prescaled
// block (lane v), e[x] receives horizontal position x (lane v).
void FirstPassA(const Row* p, Row* e)
{
    const Row a0 = Shr<1>(AddWrap(p[0], p[4]));
    const Row a1 = Shr<1>(p[6]);
    const Row a2 = AddWrap(p[2], a1);
    const Row a3 = Shr<1>(a2);
    const Row a4 = AddWrap(a0, a3);
    const Row a5 = Shr<2>(p[7]);
    const Row a6 = Shr<1>(AddWrap(p[1], a5));
    const Row a7 = Shr<1>(AddWrap(p[5], p[3]));
    const Row a8 = AddWrap(a6, a7);
    const Row a9 = SubWrap(Mul(SubWrap(p[2], a1), kC4), Shr<2>(a2));
    const Row a10 = Shr<2>(SubWrap(p[0], p[4]));
    const Row a11 = Shl<1>(AddWrap(a9, a10));
    const Row a12 = SubWrap(p[1], a5);
    const Row a13 = SubWrap(p[5], p[3]);
    const Row a14 = Mul(SubWrap(Shr<1>(a13), Shr<1>(a12)), kC6);
    const Row a15 = Sub(Shl<1>(SubWrap(Mul(a12, kC2), a14)), a8);
    const Row a16 = Shl<1>(SubWrap(a10, a9));
    const Row a17 = Sub(Shl<2>(Mul(SubWrap(a6, a7), kC4)), a15);
    const Row a18 = SubWrap(a0, a3);
    const Row a19 = Add(Shl<1>(SubWrap(a14, Shl<1>(Mul(a13, kC3)))), a17);
    e[0] = Add(a4, a8);
    e[1] = Add(a11, a15);
    e[2] = Add(a16, a17);
    e[3] = Sub(a18, a19);
    e[4] = Add(a18, a19);
    e[5] = Sub(a16, a17);
    e[6] = Sub(a11, a15);
    e[7] = Sub(a4, a8);
}

// First pass, vertical frequencies 4..7, whose inputs are scaled differently;
// bias holds the rounding term of each lane's frequency.
void FirstPassB(const Row* p, const Row& bias, Row* e)
{
    const Row b0 = AddWrap(p[0], p[4]);
    const Row b1 = Shl<1>(p[2]);
    const Row b2 = AddWrap(b1, p[6]);
    const Row b3 = Shr<1>(b2);
    const Row b4 = Shr<1>(AddWrap(b0, b3));
    const Row b5 = Shr<2>(AddWrap(p[7], bias));
    const Row b6 = AddWrap(p[1], b5);
    const Row b7 = Shl<1>(p[3]);
    const Row b8 = Shr<1>(AddWrap(p[5], b7));
    const Row b9 = Shr<1>(AddWrap(b6, b8));
    const Row b10 = Shr<1>(SubWrap(p[0], p[4]));
    const Row b11 = SubWrap(Mul(SubWrap(b1, p[6]), kC4), Shr<2>(b2));
    const Row b12 = AddWrap(b10, b11);
    const Row b13 = SubWrap(p[1], b5);
    const Row b14 = SubWrap(p[5], b7);
    const Row b15 = Mul(SubWrap(Shr<1>(b14), b13), kC6);
    const Row b16 = Sub(SubWrap(Mul(Shl<1>(b13), kC2), b15), b9);
    const Row b17 = SubWrap(b10, b11);
    const Row b18 = Sub(Shl<1>(Mul(SubWrap(b6, b8), kC4)), b16);
    const Row b19 = Shr<1>(SubWrap(b0, b3));
    const Row b20 = Add(SubWrap(b15, Shl<1>(Mul(b14, kC3))), b18);
    e[0] = AddWrap(b4, b9);
    e[1] = Add(b12, b16);
    e[2] = Add(b17, b18);
    e[3] = Sub(b19, b20);
    e[4] = Add(b19, b20);
    e[5] = Sub(b17, b18);
    e[6] = Sub(b12, b16);
    e[7] = SubWrap(b4, b9);
}

// Second pass: q[v] holds the first-pass values of frequency v (lane x);
// s[y] receives sample row y.
void SecondPass(const Row* q, Row* s)
{
    const Row c0 = Add(q[0], q[4]);
    const Row c1 = Add(q[2], q[6]);
    const Row c2 = Add(c0, c1);
    const Row c3 = Add(q[1], q[7]);
    const Row c4 = Add(q[5], q[3]);
    const Row c5 = Add(c3, c4);
    const Row c6 = Sub(q[0], q[4]);
    const Row c7 = Sub(Shl<2>(Mul(Sub(q[2], q[6]), kC4)), c1);
    const Row c8 = Add(c6, c7);
    const Row c9 = Sub(q[1], q[7]);
    const Row c10 = Sub(q[5], q[3]);
    const Row c11 = Mul(Sub(c10, c9), kC6);
    const Row c12 = Sub(Shl<1>(SubWrap(Shl<1>(Mul(c9, kC2)), c11)), c5);
    const Row c13 = Sub(c6, c7);
    const Row c14 = Sub(Shl<2>(Mul(Sub(c3, c4), kC4)), c12);
    const Row c15 = Sub(c0, c1);
    const Row c16 = Add(Shl<1>(Sub(c11, Shl<2>(Mul(c10, kC3)))), c14);
    s[0] = Shr<4>(Add(c2, c5));
    s[1] = Shr<4>(Add(c8, c12));
    s[2] = Shr<4>(Add(c13, c14));
    s[3] = Shr<4>(Sub(c15, c16));
    s[4] = Shr<4>(Add(c15, c16));
    s[5] = Shr<4>(Sub(c13, c14));
    s[6] = Shr<4>(Sub(c8, c12));
    s[7] = Shr<4>(Sub(c2, c5));
}

// Prescaled coefficient (u, v) of a block: the high half of its product with
// the prescale factor.
inline int16_t Prescaled(const int16_t* block, int u, int v)
{
    return static_cast<int16_t>((block[8 * u + v] * preSC[8 * u + v]) >> 16);
}

// Second pass of one block whose first-pass values of frequencies 0..3 are in
// lanes lanesA..lanesA+3 of a[x] and those of 4..7 in lanes lanesB..lanesB+3
// of b[x]; writes the samples over block.
void FinishBlock(const Row* a, int lanesA, const Row* b, int lanesB, int16_t* block)
{
    // Transposed, so that the second pass has the positions x in its lanes.
    Row q[8];
    for (int x = 0; x < 8; x++) {
        for (int v = 0; v < 4; v++) {
            q[v].lane[x] = a[x].lane[lanesA + v];
            q[v + 4].lane[x] = b[x].lane[lanesB + v];
        }
    }
    Row s[8];
    SecondPass(q, s);
    for (int y = 0; y < 8; y++) {
        for (int x = 0; x < 8; x++)
            block[8 * y + x] = s[y].lane[x];
    }
}

}  // namespace

void Dcmp_IDCT8x8aan(int16_t* block)
{
    // Rounding terms of the frequencies 4..7 (lanes 0..3 belong to pass A).
    static constexpr Row kBias = {{0, 0, 0, 0, 1, 1, 2, 5}};
    Row p[8];
    for (int u = 0; u < 8; u++) {
        for (int v = 0; v < 8; v++)
            p[u].lane[v] = Prescaled(block, u, v);
    }
    // Both first passes run over all eight frequencies side by side; lanes
    // 0..3 keep pass A's values and lanes 4..7 pass B's.
    Row a[8];
    Row b[8];
    FirstPassA(p, a);
    FirstPassB(p, kBias, b);
    FinishBlock(a, 0, b, 4, block);
}

void Dcmp_IDCT8x8aanPair(int16_t* first, int16_t* second)
{
    // Each first pass takes four frequencies of both blocks: lanes 0..3 hold
    // the first block's, lanes 4..7 the second block's.
    static constexpr Row kBias = {{1, 1, 2, 5, 1, 1, 2, 5}};
    Row pA[8];
    Row pB[8];
    for (int u = 0; u < 8; u++) {
        for (int v = 0; v < 4; v++) {
            pA[u].lane[v] = Prescaled(first, u, v);
            pA[u].lane[v + 4] = Prescaled(second, u, v);
            pB[u].lane[v] = Prescaled(first, u, v + 4);
            pB[u].lane[v + 4] = Prescaled(second, u, v + 4);
        }
    }
    Row a[8];
    Row b[8];
    FirstPassA(pA, a);
    FirstPassB(pB, kBias, b);
    FinishBlock(a, 0, b, 0, first);
    FinishBlock(a, 4, b, 4, second);
}
