// The pixel pass with Advanced SIMD (arm64): the operations of 16 pixels per
// block for the shared driver (compute_diff_driver.h). A block is loaded and
// stored de-interleaved (vld3 / vst4) and its 32-bit lanes live in four
// 128-bit registers, quarter q holding pixels 4q ... 4q + 3.
#include <arm_neon.h>

#include "compute_diff.h"
#include "compute_diff_driver.h"

namespace quillet {

namespace {

struct Quad {
    float32x4_t v[4];
};
struct QuadInt {
    uint32x4_t v[4];
};

template <typename F>
inline Quad map(const Quad& a, const Quad& b, F f) {
    return {{f(a.v[0], b.v[0]), f(a.v[1], b.v[1]), f(a.v[2], b.v[2]), f(a.v[3], b.v[3])}};
}
template <typename F>
inline QuadInt map(const QuadInt& a, const QuadInt& b, F f) {
    return {{f(a.v[0], b.v[0]), f(a.v[1], b.v[1]), f(a.v[2], b.v[2]), f(a.v[3], b.v[3])}};
}

// Bytes of 16 pixels widened to 32-bit lanes.
inline QuadInt widen(uint8x16_t bytes) {
    const uint16x8_t low = vmovl_u8(vget_low_u8(bytes));
    const uint16x8_t high = vmovl_u8(vget_high_u8(bytes));
    return {{vmovl_u16(vget_low_u16(low)), vmovl_u16(vget_high_u16(low)),
             vmovl_u16(vget_low_u16(high)), vmovl_u16(vget_high_u16(high))}};
}

// 32-bit lanes (each within 0 ... 255 after the caller's clamping) narrowed to bytes.
inline uint8x16_t narrow_saturating(const int32x4_t (&v)[4]) {
    const uint16x8_t low = vcombine_u16(vqmovun_s32(v[0]), vqmovun_s32(v[1]));
    const uint16x8_t high = vcombine_u16(vqmovun_s32(v[2]), vqmovun_s32(v[3]));
    return vcombine_u8(vqmovn_u16(low), vqmovn_u16(high));
}

// The low byte of each 32-bit lane.
inline uint8x16_t low_bytes(const QuadInt& v) {
    const uint16x8_t low = vcombine_u16(vmovn_u32(v.v[0]), vmovn_u32(v.v[1]));
    const uint16x8_t high = vcombine_u16(vmovn_u32(v.v[2]), vmovn_u32(v.v[3]));
    return vcombine_u8(vmovn_u16(low), vmovn_u16(high));
}

// Byte masks (0 or 0xFF) widened to 32-bit lane masks by sign extension.
inline QuadInt widen_mask(uint8x16_t bytes) {
    const int16x8_t low = vmovl_s8(vget_low_s8(vreinterpretq_s8_u8(bytes)));
    const int16x8_t high = vmovl_s8(vget_high_s8(vreinterpretq_s8_u8(bytes)));
    return {{vreinterpretq_u32_s32(vmovl_s16(vget_low_s16(low))),
             vreinterpretq_u32_s32(vmovl_s16(vget_high_s16(low))),
             vreinterpretq_u32_s32(vmovl_s16(vget_low_s16(high))),
             vreinterpretq_u32_s32(vmovl_s16(vget_high_s16(high)))}};
}

// One bit per lane, lane 4q + i at bit 4q + i, of lanes that are all ones.
inline std::uint64_t lane_bits(const QuadInt& mask) {
    const uint32x4_t weights = {1u, 2u, 4u, 8u};
    std::uint64_t bits = 0;
    for (unsigned q = 0; q < 4; ++q)
        bits |= std::uint64_t{vaddvq_u32(vandq_u32(mask.v[q], weights))} << (4 * q);
    return bits;
}

struct NeonOps {
    static constexpr std::size_t kLanes = 16;
    using Pixels = uint8x16x3_t;
    using Int = QuadInt;
    using Float = Quad;
    using Mask = QuadInt;      // all ones in a lane where true
    using Picture = uint8x16x4_t;  // planes R, G, B, A of 16 pixels
    using Shift = int32x4_t;       // minus the count, as vshlq takes it

    struct Channels {
        Int left_r, left_g, left_b, right_r, right_g, right_b, distance;
    };

    struct Tables {
        explicit Tables(const PixelPass&) {}
    };

    // vld3q reads exactly the block's 48 bytes.
    static std::size_t vector_blocks(std::size_t pixels) { return pixels / kLanes; }
    static Pixels load(const std::uint8_t* p) { return vld3q_u8(p); }
    static bool same(const Pixels& left, const Pixels& right) {
        const uint8x16_t equal = vandq_u8(vandq_u8(vceqq_u8(left.val[0], right.val[0]),
                                                   vceqq_u8(left.val[1], right.val[1])),
                                          vceqq_u8(left.val[2], right.val[2]));
        return vminvq_u8(equal) == 0xFF;
    }

    // d = dr^2 + dg^2 + db^2 from the byte differences widened to 16 bits and
    // squared into 32 bits (at most 195075: no lane overflows).
    static Channels channels(const Tables&, const Pixels& left, const Pixels& right) {
        Channels c;
        c.left_r = widen(left.val[0]);
        c.left_g = widen(left.val[1]);
        c.left_b = widen(left.val[2]);
        c.right_r = widen(right.val[0]);
        c.right_g = widen(right.val[1]);
        c.right_b = widen(right.val[2]);
        for (unsigned q = 0; q < 4; ++q) {
            const int32x4_t dr = vreinterpretq_s32_u32(vsubq_u32(c.left_r.v[q], c.right_r.v[q]));
            const int32x4_t dg = vreinterpretq_s32_u32(vsubq_u32(c.left_g.v[q], c.right_g.v[q]));
            const int32x4_t db = vreinterpretq_s32_u32(vsubq_u32(c.left_b.v[q], c.right_b.v[q]));
            const int32x4_t d = vaddq_s32(vaddq_s32(vmulq_s32(dr, dr), vmulq_s32(dg, dg)), vmulq_s32(db, db));
            c.distance.v[q] = vreinterpretq_u32_s32(d);
        }
        return c;
    }

    static Picture left_picture(const Tables&, const Pixels& left) {
        Picture p;
        p.val[0] = left.val[0];
        p.val[1] = left.val[1];
        p.val[2] = left.val[2];
        p.val[3] = vdupq_n_u8(255);
        return p;
    }

    // R = max(t, 0) and B = max(-t, 0) by unsigned saturation; |t| <= 255.
    static Picture heat_picture(const Tables&, Int red_minus_blue, Int green) {
        int32x4_t red[4], blue[4], g[4];
        for (unsigned q = 0; q < 4; ++q) {
            red[q] = vreinterpretq_s32_u32(red_minus_blue.v[q]);
            blue[q] = vnegq_s32(red[q]);
            g[q] = vreinterpretq_s32_u32(green.v[q]);
        }
        Picture p;
        p.val[0] = narrow_saturating(red);
        p.val[1] = narrow_saturating(g);
        p.val[2] = narrow_saturating(blue);
        p.val[3] = vdupq_n_u8(255);
        return p;
    }

    static Picture select(const Mask& changed, const Picture& heat, const Picture& left) {
        const uint16x8_t low = vcombine_u16(vmovn_u32(changed.v[0]), vmovn_u32(changed.v[1]));
        const uint16x8_t high = vcombine_u16(vmovn_u32(changed.v[2]), vmovn_u32(changed.v[3]));
        const uint8x16_t bytes = vcombine_u8(vmovn_u16(low), vmovn_u16(high));
        Picture p;
        for (unsigned c = 0; c < 4; ++c) p.val[c] = vbslq_u8(bytes, heat.val[c], left.val[c]);
        return p;
    }
    static void store(std::uint8_t* out, const Picture& p) { vst4q_u8(out, p); }
    // Bytes 0, 1, 2 of each distance (d < 2^24) to planes R, G, B; alpha 0.
    static Picture distance_picture(const Tables&, const Int& distance) {
        QuadInt g, b;
        for (unsigned q = 0; q < 4; ++q) {
            g.v[q] = vshrq_n_u32(distance.v[q], 8);
            b.v[q] = vshrq_n_u32(distance.v[q], 16);
        }
        Picture p;
        p.val[0] = low_bytes(distance);
        p.val[1] = low_bytes(g);
        p.val[2] = low_bytes(b);
        p.val[3] = vdupq_n_u8(0);
        return p;
    }
    static Picture load_picture(const std::uint8_t* p) { return vld4q_u8(p); }
    static Mask awaiting_colour(const Tables&, const Picture& p) {
        return widen_mask(vceqq_u8(p.val[3], vdupq_n_u8(0)));
    }
    static Int picture_words(const Picture& p) {
        const QuadInt r = widen(p.val[0]), g = widen(p.val[1]), b = widen(p.val[2]);
        const QuadInt a = widen(p.val[3]);
        QuadInt words;
        for (unsigned q = 0; q < 4; ++q)
            words.v[q] = vorrq_u32(vorrq_u32(r.v[q], vshlq_n_u32(g.v[q], 8)),
                                   vorrq_u32(vshlq_n_u32(b.v[q], 16), vshlq_n_u32(a.v[q], 24)));
        return words;
    }

    static Float set(float x) {
        const float32x4_t v = vdupq_n_f32(x);
        return {{v, v, v, v}};
    }
    static Float load_floats(const float* p) {
        return {{vld1q_f32(p), vld1q_f32(p + 4), vld1q_f32(p + 8), vld1q_f32(p + 12)}};
    }
    static void store_floats(float* p, const Float& x) {
        for (unsigned q = 0; q < 4; ++q) vst1q_f32(p + 4 * q, x.v[q]);
    }
    static Float add(const Float& a, const Float& b) {
        return map(a, b, [](float32x4_t x, float32x4_t y) { return vaddq_f32(x, y); });
    }
    static Float sub(const Float& a, const Float& b) {
        return map(a, b, [](float32x4_t x, float32x4_t y) { return vsubq_f32(x, y); });
    }
    static Float mul(const Float& a, const Float& b) {
        return map(a, b, [](float32x4_t x, float32x4_t y) { return vmulq_f32(x, y); });
    }
    static Float sqrt(const Float& a) {
        return {{vsqrtq_f32(a.v[0]), vsqrtq_f32(a.v[1]), vsqrtq_f32(a.v[2]), vsqrtq_f32(a.v[3])}};
    }
    static Float abs(const Float& a) {
        return {{vabsq_f32(a.v[0]), vabsq_f32(a.v[1]), vabsq_f32(a.v[2]), vabsq_f32(a.v[3])}};
    }
    static Float to_float(const Int& a) {
        Float f;
        for (unsigned q = 0; q < 4; ++q) f.v[q] = vcvtq_f32_s32(vreinterpretq_s32_u32(a.v[q]));
        return f;
    }
    // Toward zero; the driver only truncates values well inside int32.
    static Int truncate(const Float& a) {
        Int i;
        for (unsigned q = 0; q < 4; ++q) i.v[q] = vreinterpretq_u32_s32(vcvtq_s32_f32(a.v[q]));
        return i;
    }
    // The "number" forms return the other operand when one is NaN, as the
    // reference's min and max do.
    static Float min_or_second(const Float& a, const Float& b) {
        return map(a, b, [](float32x4_t x, float32x4_t y) { return vminnmq_f32(x, y); });
    }
    static Float max_keep(const Float& x, const Float& acc) {
        return map(x, acc, [](float32x4_t u, float32x4_t v) { return vmaxnmq_f32(u, v); });
    }
    static Mask not_less(const Float& a, const Float& b) {
        Mask m;
        for (unsigned q = 0; q < 4; ++q) m.v[q] = vmvnq_u32(vcltq_f32(a.v[q], b.v[q]));
        return m;
    }
    static bool none(const Mask& m) {
        const uint32x4_t any = vorrq_u32(vorrq_u32(m.v[0], m.v[1]), vorrq_u32(m.v[2], m.v[3]));
        return vmaxvq_u32(any) == 0;
    }
    static float lane_max(const Float& x) {
        const float32x4_t m = vmaxnmq_f32(vmaxnmq_f32(x.v[0], x.v[1]), vmaxnmq_f32(x.v[2], x.v[3]));
        return vmaxnmvq_f32(m);
    }

    static Int set_int(std::uint32_t x) {
        const uint32x4_t v = vdupq_n_u32(x);
        return {{v, v, v, v}};
    }
    static Int add_int(const Int& a, const Int& b) {
        return map(a, b, [](uint32x4_t x, uint32x4_t y) { return vaddq_u32(x, y); });
    }
    static Int and_int(const Int& a, const Int& b) {
        return map(a, b, [](uint32x4_t x, uint32x4_t y) { return vandq_u32(x, y); });
    }
    static Int min_u32(const Int& a, const Int& b) {
        return map(a, b, [](uint32x4_t x, uint32x4_t y) { return vminq_u32(x, y); });
    }
    static Shift shift(std::uint32_t count) { return vdupq_n_s32(-static_cast<std::int32_t>(count)); }
    static Int shift_right(const Int& a, Shift count) {
        Int r;
        for (unsigned q = 0; q < 4; ++q) r.v[q] = vshlq_u32(a.v[q], count);
        return r;
    }
    static std::uint64_t zero_lanes(const Int& a) {
        QuadInt zero;
        for (unsigned q = 0; q < 4; ++q) zero.v[q] = vceqzq_u32(a.v[q]);
        return lane_bits(zero);
    }
    static std::uint64_t nonzero_lanes(const Int& a) { return zero_lanes(a) ^ 0xFFFFu; }
    static bool any_zero(const Int& a) {
        const uint32x4_t low = vminq_u32(vminq_u32(a.v[0], a.v[1]), vminq_u32(a.v[2], a.v[3]));
        return vminvq_u32(low) == 0;
    }
    static std::uint64_t lane_total(const Int& units) {
        const uint32x4_t sum = vaddq_u32(vaddq_u32(units.v[0], units.v[1]), vaddq_u32(units.v[2], units.v[3]));
        return vaddvq_u32(sum);
    }
};

}  // namespace

PassSums compute_diff_neon(const PixelPass& pass) {
    return run_vector_kernel<NeonOps>(pass);
}

float largest_distance_neon(const PixelPass& pass) {
    return run_largest_distance<NeonOps>(pass);
}

void colour_distances_neon(const PixelPass& pass) {
    run_colour_distances<NeonOps>(pass);
}

}  // namespace quillet
