// The inverse transform written one value at a time, exactly as the decoder
// defines it: the oracle for the decoder's row-wise transform.
#include "transform_reference.h"

#include "dcmp.h"

namespace {

// 16-bit operations of the transform.
inline int16_t Add(int16_t a, int16_t b)
{
    const int s = a + b;
    return static_cast<int16_t>(s < -32768 ? -32768 : s > 32767 ? 32767 : s);
}

inline int16_t Sub(int16_t a, int16_t b)
{
    const int s = a - b;
    return static_cast<int16_t>(s < -32768 ? -32768 : s > 32767 ? 32767 : s);
}

inline int16_t AddWrap(int16_t a, int16_t b) { return static_cast<int16_t>(a + b); }
inline int16_t Shr(int16_t a, int n) { return static_cast<int16_t>(a >> n); }
inline int16_t Shl(int16_t a, int n) { return static_cast<int16_t>(a * (1 << n)); }

// High half of the signed 32-bit product.
inline int16_t Mul(int16_t a, int16_t k) { return static_cast<int16_t>((a * k) >> 16); }

constexpr int16_t kC4 = 23170;
constexpr int16_t kC6 = 25080;
constexpr int16_t kC2 = 17734;
constexpr int16_t kC3 = 21407;

// First pass, vertical frequencies 0..3.
void FirstPassA(const int16_t* p, int16_t* e)
{
    const int16_t a0 = Shr(Add(p[0], p[4]), 1);
    const int16_t a1 = Shr(p[6], 1);
    const int16_t a2 = Add(p[2], a1);
    const int16_t a3 = Shr(a2, 1);
    const int16_t a4 = Add(a0, a3);
    const int16_t a5 = Shr(p[7], 2);
    const int16_t a6 = Shr(Add(p[1], a5), 1);
    const int16_t a7 = Shr(Add(p[5], p[3]), 1);
    const int16_t a8 = Add(a6, a7);
    const int16_t a9 = Sub(Mul(Sub(p[2], a1), kC4), Shr(a2, 2));
    const int16_t a10 = Shr(Sub(p[0], p[4]), 2);
    const int16_t a11 = Shl(Add(a9, a10), 1);
    const int16_t a12 = Sub(p[1], a5);
    const int16_t a13 = Sub(p[5], p[3]);
    const int16_t a14 = Mul(Sub(Shr(a13, 1), Shr(a12, 1)), kC6);
    const int16_t a15 = Sub(Shl(Sub(Mul(a12, kC2), a14), 1), a8);
    const int16_t a16 = Shl(Sub(a10, a9), 1);
    const int16_t a17 = Sub(Shl(Mul(Sub(a6, a7), kC4), 2), a15);
    const int16_t a18 = Sub(a0, a3);
    const int16_t a19 = Add(Shl(Sub(a14, Shl(Mul(a13, kC3), 1)), 1), a17);
    e[0] = Add(a4, a8);
    e[1] = Add(a11, a15);
    e[2] = Add(a16, a17);
    e[3] = Sub(a18, a19);
    e[4] = Add(a18, a19);
    e[5] = Sub(a16, a17);
    e[6] = Sub(a11, a15);
    e[7] = Sub(a4, a8);
}

// First pass, vertical frequencies 4..7, whose inputs are scaled differently.
void FirstPassB(const int16_t* p, int16_t bias, int16_t* e)
{
    const int16_t b0 = Add(p[0], p[4]);
    const int16_t b1 = Shl(p[2], 1);
    const int16_t b2 = Add(b1, p[6]);
    const int16_t b3 = Shr(b2, 1);
    const int16_t b4 = Shr(Add(b0, b3), 1);
    const int16_t b5 = Shr(AddWrap(p[7], bias), 2);
    const int16_t b6 = Add(p[1], b5);
    const int16_t b7 = Shl(p[3], 1);
    const int16_t b8 = Shr(Add(p[5], b7), 1);
    const int16_t b9 = Shr(Add(b6, b8), 1);
    const int16_t b10 = Shr(Sub(p[0], p[4]), 1);
    const int16_t b11 = Sub(Mul(Sub(b1, p[6]), kC4), Shr(b2, 2));
    const int16_t b12 = Add(b10, b11);
    const int16_t b13 = Sub(p[1], b5);
    const int16_t b14 = Sub(p[5], b7);
    const int16_t b15 = Mul(Sub(Shr(b14, 1), b13), kC6);
    const int16_t b16 = Sub(Sub(Mul(Shl(b13, 1), kC2), b15), b9);
    const int16_t b17 = Sub(b10, b11);
    const int16_t b18 = Sub(Shl(Mul(Sub(b6, b8), kC4), 1), b16);
    const int16_t b19 = Shr(Sub(b0, b3), 1);
    const int16_t b20 = Add(Sub(b15, Shl(Mul(b14, kC3), 1)), b18);
    e[0] = Add(b4, b9);
    e[1] = Add(b12, b16);
    e[2] = Add(b17, b18);
    e[3] = Sub(b19, b20);
    e[4] = Add(b19, b20);
    e[5] = Sub(b17, b18);
    e[6] = Sub(b12, b16);
    e[7] = Sub(b4, b9);
}

// Second pass over one horizontal position; q[v] are the first-pass values.
void SecondPass(const int16_t* q, int16_t* s)
{
    const int16_t c0 = Add(q[0], q[4]);
    const int16_t c1 = Add(q[2], q[6]);
    const int16_t c2 = Add(c0, c1);
    const int16_t c3 = Add(q[1], q[7]);
    const int16_t c4 = Add(q[5], q[3]);
    const int16_t c5 = Add(c3, c4);
    const int16_t c6 = Sub(q[0], q[4]);
    const int16_t c7 = Sub(Shl(Mul(Sub(q[2], q[6]), kC4), 2), c1);
    const int16_t c8 = Add(c6, c7);
    const int16_t c9 = Sub(q[1], q[7]);
    const int16_t c10 = Sub(q[5], q[3]);
    const int16_t c11 = Mul(Sub(c10, c9), kC6);
    const int16_t c12 = Sub(Shl(Sub(Shl(Mul(c9, kC2), 1), c11), 1), c5);
    const int16_t c13 = Sub(c6, c7);
    const int16_t c14 = Sub(Shl(Mul(Sub(c3, c4), kC4), 2), c12);
    const int16_t c15 = Sub(c0, c1);
    const int16_t c16 = Add(Shl(Sub(c11, Shl(Mul(c10, kC3), 2)), 1), c14);
    s[0] = Shr(Add(c2, c5), 4);
    s[1] = Shr(Add(c8, c12), 4);
    s[2] = Shr(Add(c13, c14), 4);
    s[3] = Shr(Sub(c15, c16), 4);
    s[4] = Shr(Add(c15, c16), 4);
    s[5] = Shr(Sub(c13, c14), 4);
    s[6] = Shr(Sub(c8, c12), 4);
    s[7] = Shr(Sub(c2, c5), 4);
}

}  // namespace

void ReferenceTransform(int16_t* block)
{
    static const int16_t kBias[4] = {1, 1, 2, 5};
    // first[v][x]: first-pass value of vertical frequency v at horizontal position x.
    int16_t first[8][8];
    for (int v = 0; v < 8; v++) {
        int16_t p[8];
        for (int u = 0; u < 8; u++)
            p[u] = Mul(block[8 * u + v], preSC[8 * u + v]);
        if (v < 4)
            FirstPassA(p, first[v]);
        else
            FirstPassB(p, kBias[v - 4], first[v]);
    }
    for (int x = 0; x < 8; x++) {
        int16_t q[8];
        int16_t s[8];
        for (int v = 0; v < 8; v++)
            q[v] = first[v][x];
        SecondPass(q, s);
        for (int y = 0; y < 8; y++)
            block[8 * y + x] = s[y];
    }
}
