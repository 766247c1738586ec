#include "tarq/api/ir_graph/companions/onnx_helpers.h"

#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tarq/api/ir_graph/message_owner.h"
#include "tarq/errors.h"

namespace tarq::helpers {
namespace {

namespace fs = std::filesystem;
using onnx::TensorProto;

const char kTestData[] = "/usr/share/libonnx-testdata/data";

template <class T>
NdArray array_of(int32_t type, Extents shape, const std::vector<T>& v) {
  std::string bytes(v.size() * sizeof(T), '\0');
  std::memcpy(bytes.data(), v.data(), bytes.size());
  return NdArray::from_bytes(type, std::move(shape), std::move(bytes));
}

template <class T>
std::vector<T> values_of(const NdArray& a) {
  std::vector<T> v(a.nbytes() / sizeof(T));
  std::memcpy(v.data(), a.data(), v.size() * sizeof(T));
  return v;
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The tensor files of a backend test directory, those whose graph input or
// output is a tensor (the others hold sequences or optionals).
std::vector<fs::path> tensor_files(const fs::path& test_dir) {
  onnx::ModelProto model;
  if (!model.ParseFromString(read_file(test_dir / "model.onnx"))) return {};
  std::set<std::string> inits;
  for (const auto& t : model.graph().initializer()) inits.insert(t.name());
  std::vector<const onnx::ValueInfoProto*> inputs, outputs;
  for (const auto& vi : model.graph().input()) {
    if (!inits.count(vi.name())) inputs.push_back(&vi);
  }
  for (const auto& vi : model.graph().output()) outputs.push_back(&vi);
  std::vector<fs::path> files;
  for (const auto& set : fs::directory_iterator(test_dir)) {
    if (!set.is_directory()) continue;
    for (const auto& f : fs::directory_iterator(set.path())) {
      const std::string stem = f.path().stem().string();
      const auto us = stem.find('_');
      if (f.path().extension() != ".pb" || us == std::string::npos) continue;
      const auto& list = stem.substr(0, us) == "input" ? inputs : outputs;
      const size_t k = std::stoul(stem.substr(us + 1));
      if (k < list.size() && list[k]->type().has_tensor_type()) files.push_back(f.path());
    }
  }
  return files;
}

// Every tensor file of the backend test data reads into an array whose
// tensor, written back, is the same tensor.
TEST(OnnxHelpers, BackendTensorFilesRoundTrip) {
  if (!fs::exists(kTestData)) GTEST_SKIP() << "no backend test data";
  size_t checked = 0, typed = 0;
  std::set<int32_t> types;
  for (const auto& group : fs::directory_iterator(kTestData)) {
    for (const auto& test : fs::directory_iterator(group.path())) {
      for (const auto& file : tensor_files(test.path())) {
        SCOPED_TRACE(file.string());
        TensorProto t;
        ASSERT_TRUE(t.ParseFromString(read_file(file)));
        NdArray a = to_array(t);
        ASSERT_EQ(a.elem_type(), t.data_type());
        ASSERT_EQ(a.shape(), Extents(t.dims().begin(), t.dims().end()));
        TensorProto back = from_array(a, t.name());
        if (t.has_raw_data()) {
          ASSERT_EQ(back.raw_data(), t.raw_data());
        } else {
          ++typed;
        }
        ASSERT_TRUE(to_array(back).equals(a));
        // The typed-field route gives the same values.
        if (a.elem_type() != kString) {
          ASSERT_TRUE(to_array(make_tensor("x", a.elem_type(), a.shape(), a)).equals(a));
        }
        types.insert(a.elem_type());
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 3000u);
  EXPECT_GT(typed, 10u);
  EXPECT_GE(types.size(), 13u);
}

TEST(OnnxHelpers, MakeTensorUsesTheTypedFieldOfEachType) {
  NdArray f = array_of<double>(kDouble, {5}, {1.0, -2.5, 1e9, 0.1, -0.0});
  TensorProto h = make_tensor("h", kFloat16, {5}, f);
  EXPECT_EQ(std::vector<int32_t>(h.int32_data().begin(), h.int32_data().end()),
            (std::vector<int32_t>{0x3C00, 0xC100, 0x7C00, 0x2E66, 0x8000}));
  TensorProto bf = make_tensor("b", kBfloat16, {5}, f);
  EXPECT_EQ(bf.int32_data(0), 0x3F80);
  // float8 saturates instead of overflowing; E8M0 rounds up.
  TensorProto f8 = make_tensor("f8", kFloat8e4m3fn, {5}, f);
  EXPECT_EQ(f8.int32_data(2), 0x7E);
  TensorProto e8 = make_tensor("e8", kFloat8e8m0, {5}, f);
  EXPECT_EQ(e8.int32_data(1), 128 + 1);
  // Signed small integers stay signed in int32_data; unsigned ones go to
  // uint64_data when 32 bits or wider.
  NdArray i = array_of<int64_t>(kInt64, {3}, {-1, 200, 7});
  EXPECT_EQ(make_tensor("i8", kInt8, {3}, i).int32_data(1), -56);
  EXPECT_EQ(make_tensor("u16", kUint16, {3}, i).int32_data(0), 0xFFFF);
  TensorProto u32 = make_tensor("u32", kUint32, {3}, i);
  EXPECT_EQ(u32.uint64_data(0), 0xFFFFFFFFu);
  EXPECT_EQ(u32.int32_data_size(), 0);
  EXPECT_EQ(make_tensor("b", kBool, {3}, i).int32_data(1), 1);
  // 4-bit values pack two to an int32 entry, low nibble first; 2-bit four.
  TensorProto i4 = make_tensor("i4", kInt4, {3}, i);
  EXPECT_EQ(std::vector<int32_t>(i4.int32_data().begin(), i4.int32_data().end()),
            (std::vector<int32_t>{0x8F, 0x07}));
  TensorProto u2 = make_tensor("u2", kUint2, {3}, i);
  EXPECT_EQ(u2.int32_data_size(), 1);
  EXPECT_EQ(u2.int32_data(0), 3 | (0 << 2) | (3 << 4));
  // float6 stays one value per entry outside raw_data.
  EXPECT_EQ(make_tensor("f6", kFloat6e2m3, {5}, f).int32_data_size(), 5);
  // Complex values are interleaved real/imaginary pairs.
  NdArray c = array_of<float>(kComplex64, {2}, {1, 2, 3, 4});
  TensorProto ct = make_tensor("c", kComplex64, {2}, c);
  EXPECT_EQ(ct.float_data_size(), 4);
  EXPECT_TRUE(to_array(ct).equals(c));

  // Every numeric type round-trips through the typed fields and raw_data,
  // odd element counts included.
  for (int32_t type = kFloat; type <= kFloat6e3m2; ++type) {
    if (type == kString) continue;
    SCOPED_TRACE(elem_type_name(type));
    NdArray v = array_of<int64_t>(kInt64, {5}, {0, 1, 2, 3, 1}).astype(type).reshape({5, 1});
    TensorProto typed_t = make_tensor("t", type, {5, 1}, v);
    EXPECT_FALSE(typed_t.has_raw_data());
    EXPECT_TRUE(to_array(typed_t).equals(v));
    TensorProto raw_t = make_tensor("t", type, {5, 1}, v, /*raw=*/true);
    EXPECT_TRUE(to_array(raw_t).equals(v));
    EXPECT_EQ(raw_t.raw_data(), from_array(v).raw_data());
    EXPECT_EQ(make_tensor_raw("t", type, {5, 1}, raw_t.raw_data()).SerializeAsString(),
              raw_t.SerializeAsString());
  }

  NdArray s = NdArray::from_strings({2}, {"a", std::string("\xff\x00", 2)});
  TensorProto st = make_tensor("s", kString, {2}, s);
  EXPECT_EQ(st.string_data(1), std::string("\xff\x00", 2));
  EXPECT_TRUE(to_array(st).equals(s));
  EXPECT_EQ(from_array(s, "s").SerializeAsString(), st.SerializeAsString());

  EXPECT_THROW(make_tensor("x", kFloat, {2, 2}, f), ValueError);
  EXPECT_THROW(make_tensor("x", kFloat, {-5}, f), ValueError);
  EXPECT_THROW(make_tensor("x", 99, {5}, f), ValueError);
  EXPECT_THROW(make_tensor("x", kString, {2}, s, true), ValueError);
  EXPECT_THROW(make_tensor("x", kString, {5}, f), ValueError);
  EXPECT_THROW(make_tensor("x", kFloat, {2}, s), ValueError);
  EXPECT_THROW(make_tensor("x", kFloat, {4}, f, true), ValueError);  // 40 bytes for 16
  EXPECT_THROW(make_tensor("x", kInt4, {5}, f, true), ValueError);   // 8-byte values
  EXPECT_THROW(make_tensor_raw("x", kInt4, {5}, "ab"), ValueError);
  EXPECT_NO_THROW(make_tensor_raw("x", kInt4, {5}, "abc"));
}

TEST(OnnxHelpers, MalformedTensorsThrowInsteadOfCrashing) {
  TensorProto ok = make_tensor_raw("w", kFloat, {2, 2}, std::string(16, '\1'));
  auto broken = [&](auto&& edit) {
    TensorProto t = ok;
    edit(t);
    return t;
  };
  EXPECT_NO_THROW(to_array(ok));
  EXPECT_THROW(to_array(broken([](TensorProto& t) { t.mutable_raw_data()->resize(15); })),
               ValueError);
  EXPECT_THROW(to_array(broken([](TensorProto& t) {
                 t.set_dims(0, -2);
                 t.set_dims(1, -2);
               })),
               ValueError);
  EXPECT_THROW(to_array(broken([](TensorProto& t) {
                 t.set_dims(0, int64_t{1} << 40);
                 t.set_dims(1, int64_t{1} << 40);
               })),
               ValueError);
  EXPECT_THROW(to_array(broken([](TensorProto& t) { t.set_data_type(0); })), ValueError);
  EXPECT_THROW(to_array(broken([](TensorProto& t) { t.set_data_type(77); })), ValueError);
  EXPECT_THROW(to_array(broken([](TensorProto& t) { t.mutable_segment()->set_begin(0); })),
               ValueError);
  EXPECT_THROW(to_array(broken([](TensorProto& t) {
                 t.clear_raw_data();
                 t.add_float_data(1);
               })),
               ValueError);
  EXPECT_THROW(to_array(broken([](TensorProto& t) {
                 t.set_data_type(kString);
                 t.add_string_data("one");
               })),
               ValueError);
  EXPECT_THROW(to_array(broken([](TensorProto& t) {
                 t.set_data_type(kComplex64);
                 t.clear_raw_data();
                 for (int k = 0; k < 4; ++k) t.add_float_data(1);  // needs 8
               })),
               ValueError);
  // Packed data needs at least the packed size: 5 int4 take 3 bytes; what
  // follows them is ignored.
  TensorProto i4 = make_tensor_raw("q", kInt4, {5}, "abc");
  NdArray five = to_array(i4);
  EXPECT_EQ(five.size(), 5);
  i4.set_raw_data("ab");
  EXPECT_THROW(to_array(i4), ValueError);
  i4.set_raw_data("abcd");
  EXPECT_TRUE(to_array(i4).equals(five));
  i4.clear_raw_data();
  i4.add_int32_data('a');
  i4.add_int32_data('b');
  EXPECT_THROW(to_array(i4), ValueError);
  i4.add_int32_data('c');
  EXPECT_TRUE(to_array(i4).equals(five));
  TensorProto f6 = make_tensor_raw("q", kFloat6e2m3, {5}, "abcd");  // 30 bits
  f6.mutable_raw_data()->resize(3);
  EXPECT_THROW(to_array(f6), ValueError);
  // An explicitly empty raw_data wins over typed values, as it does in the
  // Python helper.
  TensorProto both = make_tensor("b", kFloat, {0}, NdArray(kFloat, {0}));
  both.set_raw_data("");
  both.add_float_data(3);
  EXPECT_EQ(to_array(both).size(), 0);
}

TEST(OnnxHelpers, AttributesRoundTripAndRefuseWhatTheyCannotHold) {
  using A = onnx::AttributeProto;
  EXPECT_EQ(std::get<int64_t>(get_attribute_value(make_attribute("i", int64_t{-3}))), -3);
  A f = make_attribute("f", 1e300, std::string("doc"));
  EXPECT_EQ(f.type(), A::FLOAT);
  EXPECT_TRUE(std::isinf(f.f()));
  EXPECT_EQ(f.doc_string(), "doc");
  EXPECT_FALSE(make_attribute("f", 0.5, std::string()).has_doc_string());
  EXPECT_EQ(std::get<double>(get_attribute_value(make_attribute("f", 0.1))), 0.1f);
  EXPECT_EQ(std::get<Bytes>(get_attribute_value(make_attribute("s", std::string("héllo")))).data,
            "héllo");
  EXPECT_EQ(make_attribute("s", Bytes{std::string("\0\1", 2)}).s(), std::string("\0\1", 2));

  TensorProto t = make_tensor_raw("w", kInt8, {1}, "x");
  A ta = make_attribute("t", &t);
  EXPECT_EQ(ta.type(), A::TENSOR);
  EXPECT_EQ(std::get<const TensorProto*>(get_attribute_value(ta)), &ta.t());
  A tl = make_attribute("ts", std::vector<const TensorProto*>{&t, &t});
  EXPECT_EQ(std::get<std::vector<const TensorProto*>>(get_attribute_value(tl)).size(), 2u);
  onnx::GraphProto g;
  g.set_name("body");
  EXPECT_EQ(make_attribute("g", &g).g().name(), "body");
  onnx::TypeProto tp;
  EXPECT_EQ(make_attribute("tp", &tp).type(), A::TYPE_PROTO);
  onnx::SparseTensorProto sp;
  EXPECT_EQ(make_attribute("sp", std::vector<const onnx::SparseTensorProto*>{&sp}).type(),
            A::SPARSE_TENSORS);

  EXPECT_EQ(std::get<std::vector<int64_t>>(
                get_attribute_value(make_attribute("is", std::vector<int64_t>{1, -2}))),
            (std::vector<int64_t>{1, -2}));
  A ints_as_floats = make_attribute("fs", std::vector<int64_t>{1, 2}, {}, A::FLOATS);
  EXPECT_EQ(ints_as_floats.floats_size(), 2);
  EXPECT_EQ(make_attribute("e", std::vector<double>{}, {}, A::STRINGS).type(), A::STRINGS);
  EXPECT_EQ(make_attribute("ss", std::vector<std::string>{"a", "b"}).strings(1), "b");
  EXPECT_EQ(std::get<std::vector<Bytes>>(
                get_attribute_value(make_attribute("ss", std::vector<Bytes>{{"x"}})))[0]
                .data,
            "x");
  // One-dimensional arrays are lists.
  EXPECT_EQ(make_attribute("a", array_of<int32_t>(kInt32, {2}, {4, 5})).ints(1), 5);
  EXPECT_EQ(make_attribute("a", array_of<float>(kFloat, {1}, {0.5f})).floats(0), 0.5f);
  EXPECT_EQ(make_attribute("a", NdArray::from_strings({1}, {"q"})).strings(0), "q");

  EXPECT_THROW(make_attribute("n", std::monostate{}), ValueError);
  EXPECT_THROW(make_attribute("e", std::vector<int64_t>{}), ValueError);
  EXPECT_THROW(make_attribute("m", std::vector<double>{1.5}, {}, A::INTS), ValueError);
  EXPECT_THROW(make_attribute("m", int64_t{1}, {}, A::FLOAT), ValueError);
  EXPECT_THROW(make_attribute("m", std::vector<int64_t>{1}, {}, A::INT), ValueError);
  EXPECT_THROW(make_attribute("m", static_cast<const TensorProto*>(nullptr)), ValueError);
  EXPECT_THROW(make_attribute("a", array_of<int32_t>(kInt32, {1, 1}, {4})), ValueError);
  EXPECT_THROW(make_attribute("a", array_of<int32_t>(kInt32, {}, {4})), ValueError);
  EXPECT_THROW(make_attribute("a", array_of<uint8_t>(kBool, {1}, {1})), ValueError);
  EXPECT_THROW(make_attribute("a", array_of<uint64_t>(kUint64, {1}, {~0ull})), ValueError);

  A undefined;
  EXPECT_TRUE(std::holds_alternative<std::monostate>(get_attribute_value(undefined)));
  A ref;
  ref.set_name("alpha");
  ref.set_type(A::FLOAT);
  ref.set_ref_attr_name("alpha");
  EXPECT_THROW(get_attribute_value(ref), ValueError);
}

TEST(OnnxHelpers, ValueInfoAndModel) {
  auto vi =
      make_tensor_value_info("x", kFloat, Shape{int64_t{1}, std::string("N"), std::monostate{}},
                             "doc", std::vector<std::string>{"B", "", "C"});
  const auto& shape = vi.type().tensor_type().shape();
  ASSERT_EQ(shape.dim_size(), 3);
  EXPECT_EQ(shape.dim(0).dim_value(), 1);
  EXPECT_EQ(shape.dim(1).dim_param(), "N");
  EXPECT_EQ(shape.dim(2).value_case(), onnx::TensorShapeProto_Dimension::VALUE_NOT_SET);
  EXPECT_EQ(shape.dim(2).denotation(), "C");
  EXPECT_EQ(vi.doc_string(), "doc");
  // A scalar has a shape; an unknown rank has none.
  EXPECT_TRUE(make_tensor_value_info("s", kFloat, Shape{}).type().tensor_type().has_shape());
  EXPECT_FALSE(make_tensor_value_info("u", kFloat, std::nullopt).type().tensor_type().has_shape());
  EXPECT_THROW(make_tensor_value_info("x", kFloat, Shape{int64_t{1}}, "",
                                      std::vector<std::string>{"a", "b"}),
               ValueError);

  onnx::GraphProto g;
  g.set_name("g");
  onnx::ModelProto m = make_model(g);
  EXPECT_EQ(m.ir_version(), 14);
  ASSERT_EQ(m.opset_import_size(), 1);
  EXPECT_EQ(m.opset_import(0).version(), 28);
  EXPECT_FALSE(m.opset_import(0).has_domain());
  EXPECT_EQ(m.graph().name(), "g");
  EXPECT_FALSE(m.has_producer_name());
  ModelOptions o;
  o.ir_version = 8;
  o.opset_imports = {{"", 17}, {"com.microsoft", 1}};
  o.producer_name = "p";
  o.model_version = 3;
  m = make_model(g, o);
  EXPECT_EQ(m.ir_version(), 8);
  ASSERT_EQ(m.opset_import_size(), 2);
  EXPECT_TRUE(m.opset_import(0).has_domain());
  EXPECT_EQ(m.opset_import(1).domain(), "com.microsoft");
  EXPECT_EQ(m.producer_name(), "p");
  EXPECT_EQ(m.model_version(), 3);
}

class ExternalData : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarq_ext_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    base_ = root_ / "model";
    fs::create_directories(base_ / "sub");
    fs::create_directories(root_ / "outside");
    write(base_ / "weights.bin", "ABCDEFGHIJKLMNOP");
    write(root_ / "outside" / "secret.bin", "SECRETSECRETSECR");
    fs::create_symlink("../outside/secret.bin", base_ / "link_out.bin");
    fs::create_symlink("weights.bin", base_ / "link_in.bin");
    fs::create_directory_symlink("../outside", base_ / "dir_out");
    ASSERT_EQ(mkfifo((base_ / "fifo.bin").c_str(), 0600), 0);
  }
  void TearDown() override { fs::remove_all(root_); }

  static void write(const fs::path& p, const std::string& s) {
    std::ofstream(p, std::ios::binary) << s;
  }

  static TensorProto external(const std::string& location, const char* offset = nullptr,
                              const char* length = nullptr, int64_t count = 4) {
    TensorProto t;
    t.set_name("w");
    t.set_data_type(kUint8);
    t.add_dims(count);
    t.set_data_location(onnx::TensorProto_DataLocation_EXTERNAL);
    auto add = [&](const char* k, const std::string& v) {
      auto* e = t.add_external_data();
      e->set_key(k);
      e->set_value(v);
    };
    add("location", location);
    if (offset) add("offset", offset);
    if (length) add("length", length);
    add("checksum", "ignored");
    return t;
  }

  fs::path root_, base_;
};

TEST_F(ExternalData, ReadsInsideTheModelDirectory) {
  TensorProto t = external("weights.bin", "4", "4");
  EXPECT_TRUE(uses_external_data(t));
  EXPECT_EQ(values_of<uint8_t>(to_array(t, base_.string())),
            (std::vector<uint8_t>{'E', 'F', 'G', 'H'}));
  EXPECT_TRUE(uses_external_data(t));  // to_array leaves the tensor alone
  EXPECT_EQ(read_external_data(external("weights.bin", " 12"), base_.string()), "MNOP");
  EXPECT_EQ(read_external_data(external("sub/../weights.bin", "16", "0"), base_.string()), "");
  EXPECT_EQ(read_external_data(external("./weights.bin", "1_0"), base_.string()), "KLMNOP");

  auto owner = MessageOwner::make<TensorProto>();
  TensorProto& held = owner->root_as<TensorProto>();
  held = external("weights.bin", "0", "4");
  const auto* entry = &held.external_data(0);
  load_external_data_for_tensor(held, base_.string(), owner.get());
  EXPECT_EQ(held.raw_data(), "ABCD");
  EXPECT_FALSE(uses_external_data(held));
  EXPECT_TRUE(held.has_data_location());
  EXPECT_EQ(held.external_data_size(), 0);
  EXPECT_EQ(owner->parked_count(), 4u);
  EXPECT_EQ(entry->key(), "location");  // parked, still alive

  // A relative base directory is taken from the working directory.
  const fs::path cwd = fs::current_path();
  fs::current_path(base_);
  EXPECT_EQ(read_external_data(external("weights.bin", "15"), ""), "P");
  fs::current_path(cwd);
}

TEST_F(ExternalData, RefusesLocationsOutsideOrNotRegularAndLeavesTheTensorAlone) {
  const std::string base = base_.string();
  struct Case {
    std::string location;
    const char* offset;
    const char* length;
  };
  const std::vector<Case> file_errors = {
      {(base_ / "weights.bin").string(), nullptr, nullptr},  // absolute
      {"../outside/secret.bin", nullptr, nullptr},
      {"sub/../../outside/secret.bin", nullptr, nullptr},
      {"link_out.bin", nullptr, nullptr},        // symbolic link pointing outside
      {"link_in.bin", nullptr, nullptr},         // any symbolic link
      {"dir_out/secret.bin", nullptr, nullptr},  // directory link pointing outside
      {"sub", nullptr, nullptr},
      {"sub/..", nullptr, nullptr},
      {".", nullptr, nullptr},
      {"fifo.bin", nullptr, nullptr},
      {"missing.bin", nullptr, nullptr},
      {"", nullptr, nullptr},
      {std::string("weights.bin\0x", 13), nullptr, nullptr},
      {"weights.bin", "17", nullptr},
      {"weights.bin", "10", "7"},
      {"weights.bin", "0", "17"},
      {"weights.bin", "99999999999999999999999", nullptr},
  };
  for (const auto& c : file_errors) {
    SCOPED_TRACE(c.location + " offset " + (c.offset ? c.offset : "-") + " length " +
                 (c.length ? c.length : "-"));
    TensorProto t = external(c.location, c.offset, c.length);
    const std::string before = t.SerializeAsString();
    EXPECT_THROW(load_external_data_for_tensor(t, base), FileError);
    EXPECT_EQ(t.SerializeAsString(), before);
    EXPECT_THROW(to_array(t, base), FileError);
  }
  for (const char* bad : {"-1", "x", "1.5", "", "_1", "1__0"}) {
    SCOPED_TRACE(bad);
    TensorProto t = external("weights.bin", bad);
    EXPECT_THROW(load_external_data_for_tensor(t, base), ValueError);
    EXPECT_TRUE(uses_external_data(t));
  }
  EXPECT_THROW(read_external_data(external("weights.bin"), (root_ / "nowhere").string()),
               FileError);
  // The right size for another shape is still refused by to_array.
  EXPECT_THROW(to_array(external("weights.bin", nullptr, nullptr, 3), base), ValueError);
}

}  // namespace
}  // namespace tarq::helpers
