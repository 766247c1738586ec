#include "tarq/nd_array.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tarq/errors.h"

namespace tarq {
namespace {

template <class T>
NdArray array_of(int32_t type, const std::vector<T>& v) {
  std::string bytes(v.size() * sizeof(T), '\0');
  std::memcpy(bytes.data(), v.data(), bytes.size());
  const int64_t n = static_cast<int64_t>(bytes.size() / elem_size(type));
  return NdArray::from_bytes(type, {n}, std::move(bytes));
}

template <class T>
std::vector<T> values_of(const NdArray& a) {
  std::vector<T> v(a.nbytes() / sizeof(T));
  std::memcpy(v.data(), a.data(), v.size() * sizeof(T));
  return v;
}

uint8_t byte_of(int32_t type, double x) {
  return values_of<uint8_t>(array_of<double>(kDouble, {x}).astype(type))[0];
}

uint16_t half_of(int32_t type, double x) {
  return values_of<uint16_t>(array_of<double>(kDouble, {x}).astype(type))[0];
}

TEST(NdArray, ShapesAndSizesAreValidated) {
  NdArray scalar(kInt64, {});
  EXPECT_EQ(scalar.size(), 1);
  EXPECT_EQ(scalar.nbytes(), 8u);
  EXPECT_EQ(*scalar.data_as<int64_t>(), 0);

  NdArray empty;
  EXPECT_EQ(empty.elem_type(), kFloat);
  EXPECT_EQ(empty.shape(), Extents{0});
  EXPECT_NE(empty.data(), nullptr);

  EXPECT_THROW(NdArray(kFloat, {2, -1}), ValueError);
  EXPECT_THROW(NdArray(kFloat, {int64_t{1} << 40, int64_t{1} << 40}), ValueError);
  EXPECT_THROW(NdArray(kUndefined, {1}), ValueError);
  EXPECT_THROW(NdArray(99, {1}), ValueError);
  // A zero extent makes any other extent harmless.
  EXPECT_EQ(NdArray(kDouble, {0, int64_t{1} << 62}).size(), 0);
  // More bytes than memory can address is refused before allocating.
  EXPECT_THROW(NdArray(kComplex128, {int64_t{1} << 61}), ValueError);

  EXPECT_THROW(NdArray::from_bytes(kFloat, {3}, std::string(8, '\0')), ValueError);
  EXPECT_THROW(NdArray::from_bytes(kString, {0}, ""), ValueError);
  EXPECT_THROW(NdArray::from_strings({3}, {"a", "b"}), ValueError);

  NdArray strs(kString, {2});
  EXPECT_EQ(strs.strings(), (std::vector<std::string>{"", ""}));
  EXPECT_EQ(strs.nbytes(), 0u);
  EXPECT_THROW(NdArray(kFloat, {1}).strings(), ValueError);

  EXPECT_EQ(elem_type_name(kFloat8e4m3fn), "FLOAT8E4M3FN");
  EXPECT_EQ(elem_type_name(kFloat6e3m2), "FLOAT6E3M2");
  EXPECT_EQ(elem_type_name(0), "UNDEFINED");
  EXPECT_EQ(elem_type_name(1234), "<1234>");
  EXPECT_EQ(elem_size(kComplex128), 16u);
  EXPECT_EQ(elem_size(kInt4), 1u);
  EXPECT_EQ(elem_size(kString), 0u);
  EXPECT_THROW(elem_size(-3), ValueError);
  EXPECT_FALSE(is_known_elem_type(kUndefined));
  EXPECT_TRUE(is_known_elem_type(kFloat6e3m2));
  EXPECT_FALSE(is_known_elem_type(29));
}

TEST(NdArray, ViewsShareStorageCopiesDoNot) {
  NdArray a = array_of<int32_t>(kInt32, {1, 2, 3, 4, 5, 6});
  NdArray view = a.reshape({2, -1});
  EXPECT_EQ(view.shape(), (Extents{2, 3}));
  EXPECT_EQ(view.data(), a.data());
  EXPECT_EQ(view.owner(), a.owner());
  NdArray copy = a.copy();
  view.mutable_data_as<int32_t>()[0] = 42;
  EXPECT_EQ(a.data_as<int32_t>()[0], 42);
  EXPECT_EQ(copy.data_as<int32_t>()[0], 1);
  EXPECT_FALSE(copy.equals(a));
  copy.mutable_data_as<int32_t>()[0] = 42;
  EXPECT_TRUE(copy.equals(a));
  EXPECT_FALSE(copy.equals(view));  // same bytes, other shape

  EXPECT_THROW(a.reshape({4, -1}), ValueError);
  EXPECT_THROW(a.reshape({-1, -1}), ValueError);
  EXPECT_THROW(a.reshape({7}), ValueError);
  EXPECT_THROW(a.reshape({-2, -3}), ValueError);
  EXPECT_THROW(NdArray(kFloat, {0}).reshape({0, -1}), ValueError);
  EXPECT_EQ(NdArray(kFloat, {0, 3}).reshape({-1, 5}).shape(), (Extents{0, 5}));

  // Read-only travels with views; copies are writable.
  a.set_readonly(true);
  NdArray ro_view = a.view();
  EXPECT_TRUE(ro_view.readonly());
  EXPECT_THROW(ro_view.mutable_data(), ValueError);
  EXPECT_TRUE(a.reshape({6}).readonly());
  EXPECT_FALSE(a.copy().readonly());
  EXPECT_NO_THROW(a.copy().mutable_data());

  NdArray s = NdArray::from_strings({2}, {"x", "y"});
  NdArray s_view = s.reshape({1, 2});
  s.mutable_strings()[1] = "changed";
  EXPECT_EQ(s_view.strings()[1], "changed");
  NdArray s_copy = s.copy();
  s.mutable_strings()[0] = "again";
  EXPECT_EQ(s_copy.strings()[0], "x");
  s.set_readonly(true);
  EXPECT_THROW(s.mutable_strings(), ValueError);
}

TEST(NdArray, ExternalMemoryLivesAsLongAsItsViews) {
  bool released = false;
  auto storage = std::make_shared<std::vector<float>>(std::vector<float>{1.5f, -2.f});
  const void* data = storage->data();
  {
    std::shared_ptr<const void> owner(storage.get(), [storage, &released](const void*) mutable {
      released = true;
      storage.reset();
    });
    storage.reset();
    NdArray outer;
    {
      NdArray a = NdArray::from_external(kFloat, {2}, owner, data, /*readonly=*/true);
      owner.reset();
      EXPECT_TRUE(a.readonly());
      EXPECT_EQ(a.data(), data);
      outer = a.reshape({1, 2});
    }
    EXPECT_FALSE(released);
    EXPECT_EQ(outer.data_as<float>()[1], -2.f);
  }
  EXPECT_TRUE(released);

  EXPECT_THROW(NdArray::from_external(kFloat, {2}, nullptr, nullptr, false), ValueError);
  EXPECT_NE(NdArray::from_external(kFloat, {0}, nullptr, nullptr, false).data(), nullptr);
  EXPECT_THROW(NdArray::from_external(kString, {1}, nullptr, data, false), ValueError);
}

// Every bit pattern of each narrow float type decodes and encodes back to
// itself; NaN patterns stay NaN.
TEST(NdArray, NarrowFloatsRoundTripEveryPattern) {
  for (int32_t type : {kFloat8e4m3fn, kFloat8e4m3fnuz, kFloat8e5m2, kFloat8e5m2fnuz, kFloat8e8m0,
                       kFloat4e2m1, kFloat6e2m3, kFloat6e3m2}) {
    const int bits = type == kFloat4e2m1 ? 4 : (type == kFloat6e2m3 || type == kFloat6e3m2) ? 6 : 8;
    std::vector<uint8_t> codes;
    for (int c = 0; c < (1 << bits); ++c) codes.push_back(static_cast<uint8_t>(c));
    NdArray a = array_of<uint8_t>(type, codes);
    NdArray f64 = a.astype(kDouble);
    NdArray f32 = a.astype(kFloat);
    std::vector<uint8_t> back = values_of<uint8_t>(f64.astype(type));
    std::vector<uint8_t> back32 = values_of<uint8_t>(f32.astype(type));
    for (size_t c = 0; c < codes.size(); ++c) {
      const double v = f64.data_as<double>()[c];
      SCOPED_TRACE(elem_type_name(type) + " code " + std::to_string(c));
      EXPECT_EQ(static_cast<double>(f32.data_as<float>()[c]) == v || std::isnan(v), true);
      if (std::isnan(v)) {
        EXPECT_TRUE(
            std::isnan(values_of<double>(array_of<uint8_t>(type, {back[c]}).astype(kDouble))[0]));
      } else if (type == kFloat8e8m0 && c == 0) {
        // 2^-127 is a float32 subnormal, whose fraction bits round it up.
        EXPECT_EQ(back[c], 1);
      } else {
        EXPECT_EQ(back[c], codes[c]);
        EXPECT_EQ(back32[c], codes[c]);
      }
    }
  }
  for (int32_t type : {kFloat16, kBfloat16}) {
    std::vector<uint16_t> codes;
    for (int c = 0; c < 65536; ++c) codes.push_back(static_cast<uint16_t>(c));
    NdArray a = array_of<uint16_t>(type, codes);
    std::vector<uint16_t> back = values_of<uint16_t>(a.astype(kDouble).astype(type));
    NdArray f = a.astype(kFloat);
    for (size_t c = 0; c < codes.size(); ++c) {
      const float v = f.data_as<float>()[c];
      if (std::isnan(v)) continue;
      ASSERT_EQ(back[c], codes[c]) << elem_type_name(type) << " code " << c;
    }
  }
}

TEST(NdArray, NarrowFloatsRoundAndOverflowByFormat) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // FLOAT16: ties to even, overflow to infinity, rounding straight from double.
  EXPECT_EQ(half_of(kFloat16, 1.0 + std::ldexp(1, -11)), 0x3C00);
  EXPECT_EQ(half_of(kFloat16, 1.0 + 3 * std::ldexp(1, -11)), 0x3C02);
  EXPECT_EQ(half_of(kFloat16, 1.0 + std::ldexp(1, -11) + std::ldexp(1, -40)), 0x3C01);
  EXPECT_EQ(half_of(kFloat16, 65504), 0x7BFF);
  EXPECT_EQ(half_of(kFloat16, 65519.99), 0x7BFF);
  EXPECT_EQ(half_of(kFloat16, 65520), 0x7C00);
  EXPECT_EQ(half_of(kFloat16, -inf), 0xFC00);
  EXPECT_EQ(half_of(kFloat16, std::ldexp(1, -24)), 0x0001);  // smallest subnormal
  EXPECT_EQ(half_of(kFloat16, std::ldexp(1, -25)), 0x0000);  // tie to even zero
  EXPECT_EQ(half_of(kFloat16, nan), 0x7E00);
  // BFLOAT16 rounds through float32, as numpy's extension type does.
  EXPECT_EQ(half_of(kBfloat16, 1.0 + std::ldexp(1, -8) + std::ldexp(1, -30)), 0x3F80);
  EXPECT_EQ(half_of(kBfloat16, 1.0 + std::ldexp(1, -8) + std::ldexp(1, -20)), 0x3F81);
  EXPECT_EQ(half_of(kBfloat16, 1e300), 0x7F80);
  EXPECT_EQ(half_of(kBfloat16, -nan), 0xFFC0);
  // E4M3FN has no infinity: past the largest value is NaN.
  EXPECT_EQ(byte_of(kFloat8e4m3fn, 448), 0x7E);
  EXPECT_EQ(byte_of(kFloat8e4m3fn, 464), 0x7E);
  EXPECT_EQ(byte_of(kFloat8e4m3fn, 480), 0x7F);
  EXPECT_EQ(byte_of(kFloat8e4m3fn, -inf), 0xFF);
  EXPECT_EQ(byte_of(kFloat8e4m3fn, -1e-30), 0x80);
  // FNUZ: no negative zero; the only NaN is 0x80.
  EXPECT_EQ(byte_of(kFloat8e4m3fnuz, -0.0), 0x00);
  EXPECT_EQ(byte_of(kFloat8e4m3fnuz, -1e-30), 0x00);
  EXPECT_EQ(byte_of(kFloat8e4m3fnuz, 1e9), 0x80);
  EXPECT_EQ(byte_of(kFloat8e5m2fnuz, nan), 0x80);
  EXPECT_EQ(byte_of(kFloat8e5m2, 1e9), 0x7C);
  EXPECT_EQ(byte_of(kFloat8e5m2, nan), 0x7E);
  // float4/float6 saturate; NaN has no pattern.
  EXPECT_EQ(byte_of(kFloat4e2m1, 100), 0x7);
  EXPECT_EQ(byte_of(kFloat4e2m1, -inf), 0xF);
  EXPECT_EQ(byte_of(kFloat4e2m1, 0.25), 0x0);
  EXPECT_EQ(byte_of(kFloat4e2m1, 0.3), 0x1);
  EXPECT_EQ(byte_of(kFloat4e2m1, 5), 0x6);  // tie between 4 and 6 goes to even 4
  EXPECT_EQ(byte_of(kFloat4e2m1, nan), 0x8);
  EXPECT_EQ(byte_of(kFloat6e2m3, 8), 0x1F);
  EXPECT_EQ(byte_of(kFloat6e3m2, -1e9), 0x3F);
  // E8M0 keeps the exponent, rounding up, saturating below NaN.
  EXPECT_EQ(byte_of(kFloat8e8m0, 1.0), 127);
  EXPECT_EQ(byte_of(kFloat8e8m0, 1.01), 128);
  EXPECT_EQ(byte_of(kFloat8e8m0, -4.0), 129);
  EXPECT_EQ(byte_of(kFloat8e8m0, 3e38), 254);
  EXPECT_EQ(byte_of(kFloat8e8m0, inf), 255);
  EXPECT_EQ(byte_of(kFloat8e8m0, 0.0), 0);
}

TEST(NdArray, AstypeFollowsNumpyCasting) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  NdArray d = array_of<double>(kDouble, {300.7, -3.7, 1e300, nan, 0.0, -0.5});
  EXPECT_EQ(values_of<int8_t>(d.astype(kInt8))[0], 44);
  EXPECT_EQ(values_of<int8_t>(d.astype(kInt8))[1], -3);
  EXPECT_EQ(values_of<int64_t>(d.astype(kInt64))[2], std::numeric_limits<int64_t>::min());
  EXPECT_EQ(values_of<int64_t>(d.astype(kInt64))[3], std::numeric_limits<int64_t>::min());
  EXPECT_EQ(values_of<uint8_t>(d.astype(kBool)),
            (std::vector<uint8_t>{1, 1, 1, 1, 0, 1}));  // NaN is true
  EXPECT_TRUE(std::isinf(values_of<float>(d.astype(kFloat))[2]));
  EXPECT_EQ(values_of<uint64_t>(array_of<double>(kDouble, {1.5e19}).astype(kUint64))[0],
            15000000000000000000ull);

  // Integers wrap, also into 4- and 2-bit types, which keep the low bits.
  NdArray i = array_of<int64_t>(kInt64, {9, -1, -8, 70000, 2});
  EXPECT_EQ(values_of<uint8_t>(i.astype(kInt4)), (std::vector<uint8_t>{9, 15, 8, 0, 2}));
  EXPECT_EQ(values_of<uint8_t>(i.astype(kUint2)), (std::vector<uint8_t>{1, 3, 0, 0, 2}));
  EXPECT_EQ(values_of<int16_t>(i.astype(kInt16))[3], 4464);
  EXPECT_EQ(values_of<uint32_t>(i.astype(kUint32))[1], 0xFFFFFFFFu);
  // Sub-byte signed types sign-extend on the way out.
  EXPECT_EQ(values_of<int32_t>(i.astype(kInt4).astype(kInt32)),
            (std::vector<int32_t>{-7, -1, -8, 0, 2}));
  EXPECT_EQ(values_of<int32_t>(array_of<uint8_t>(kInt2, {2, 3, 1}).astype(kInt32)),
            (std::vector<int32_t>{-2, -1, 1}));
  EXPECT_EQ(values_of<float>(array_of<uint8_t>(kUint4, {15}).astype(kFloat))[0], 15.f);
  // int64 to float32 rounds once, not through double.
  EXPECT_EQ(values_of<float>(array_of<int64_t>(kInt64, {(int64_t{1} << 53) + 1}).astype(kFloat))[0],
            static_cast<float>((int64_t{1} << 53) + 1));
  EXPECT_EQ(values_of<double>(array_of<uint64_t>(kUint64, {~0ull}).astype(kDouble))[0],
            18446744073709551616.0);

  // Booleans with odd bytes read as true; complex drops the imaginary part.
  EXPECT_EQ(values_of<int32_t>(array_of<uint8_t>(kBool, {0, 2}).astype(kInt32)),
            (std::vector<int32_t>{0, 1}));
  NdArray c = array_of<float>(kComplex64, {1.5f, 2.f, 0.f, -1.f});
  EXPECT_EQ(values_of<double>(c.astype(kDouble)), (std::vector<double>{1.5, 0.0}));
  EXPECT_EQ(values_of<uint8_t>(c.astype(kBool)), (std::vector<uint8_t>{1, 1}));
  EXPECT_EQ(values_of<double>(c.astype(kComplex128)), (std::vector<double>{1.5, 2, 0, -1}));
  EXPECT_EQ(values_of<float>(array_of<int32_t>(kInt32, {7}).astype(kComplex64)),
            (std::vector<float>{7.f, 0.f}));

  EXPECT_THROW(NdArray(kString, {1}).astype(kFloat), ValueError);
  EXPECT_THROW(NdArray(kFloat, {1}).astype(kString), ValueError);
  EXPECT_THROW(NdArray(kFloat, {1}).astype(0), ValueError);
  NdArray ro = array_of<float>(kFloat, {1.f});
  ro.set_readonly(true);
  EXPECT_FALSE(ro.astype(kFloat).readonly());
  EXPECT_NE(ro.astype(kFloat).data(), ro.data());
}

}  // namespace
}  // namespace tarq
